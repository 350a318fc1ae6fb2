// The status display that a protocol component reports to while it transfers.
//
// A protocol component points to one TApdAbstractStatus (its StatusDisplay) and calls
// UpdateDisplay for every status report, before it raises its own status event: First is bit 0 of
// the report's option word, Last is bit 1. The status component owns a display window and forwards
// a few window properties to it; what the window is, and how it shows the figures, is left to a
// derived class in a toolkit layer above this one. This header knows no toolkit.
//
// Life cycle for derived classes: a constructor cannot reach the derived class's operations, so a
// derived constructor calls OpenDisplay as its last step (it creates the window, takes over the
// window's own placement, look, visibility and caption, and then sets the caption to
// "Protocol Status"), and a derived destructor calls DestroyDisplay.
//
// Thread safety: like every component, it belongs to the user-interface thread.
#pragma once

#include "platform/component.h"

#include <cstddef>
#include <string>

namespace kavo {

class TApdCustomProtocol;

// Placement rule of a window when it is shown.
enum class TPosition {
    poDesigned,         // where its design put it
    poDefault,          // placement and size chosen by the window system
    poDefaultPosOnly,   // placement chosen by the window system, designed size
    poDefaultSizeOnly,  // designed placement, size chosen by the window system
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter,
};

// What a status component needs of its window, whatever toolkit draws it.
class TStatusDisplayWindow {
public:
    virtual ~TStatusDisplayWindow() = default;

    virtual TPosition WindowPosition() const = 0;
    virtual void SetWindowPosition(TPosition position) = 0;
    virtual bool WindowCtl3D() const = 0;
    virtual void SetWindowCtl3D(bool on) = 0;
    virtual bool WindowVisible() const = 0;
    virtual void SetWindowVisible(bool on) = 0;
    virtual std::string WindowCaption() const = 0;
    virtual void SetWindowCaption(const std::string& caption) = 0;
    // The protocol whose figures the window shows and whose transfer its Cancel button cancels.
    virtual void SetWindowProtocol(TApdCustomProtocol* protocol) = 0;
};

class TApdAbstractStatus : public TComponent {
public:
    explicit TApdAbstractStatus(TComponent* owner = nullptr);
    ~TApdAbstractStatus() override = default;

    // The display window; nullptr until created. Owned by the derived class's display.
    TStatusDisplayWindow* Display() const { return display_; }

    TPosition Position() const { return position_; }
    void SetPosition(TPosition position);
    bool Ctl3D() const { return ctl3D_; }
    void SetCtl3D(bool on);
    bool Visible() const { return visible_; }
    void SetVisible(bool on);
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);

    // The protocol component whose figures are shown: a plain reference, not owned, cleared when
    // that component goes away. SetProtocol is a template only so that this header need not see
    // the protocol class: the pointer converts to its component base where the caller sees the
    // whole class (call it with a TApdCustomProtocol* or a pointer to a class derived from it).
    TApdCustomProtocol* Protocol() const { return protocol_; }
    template <class ProtocolClass>
    void SetProtocol(ProtocolClass* protocol) {
        AssignProtocol(protocol, protocol);
    }
    void SetProtocol(std::nullptr_t) { AssignProtocol(nullptr, nullptr); }

    // The three operations a derived class supplies.
    virtual void CreateDisplay() = 0;
    virtual void DestroyDisplay() = 0;
    virtual void UpdateDisplay(bool first, bool last) = 0;

    void Notification(TComponent* component, TOperation operation) override;

protected:
    // Creates the window and takes its properties over; see the life cycle above.
    void OpenDisplay();
    // Called by CreateDisplay and DestroyDisplay with the window they made or freed (nullptr).
    void SetDisplay(TStatusDisplayWindow* display) { display_ = display; }

private:
    void AssignProtocol(TApdCustomProtocol* protocol, TComponent* component);

    TStatusDisplayWindow* display_ = nullptr;
    TPosition position_ = TPosition::poDesigned;
    bool ctl3D_ = true;
    bool visible_ = false;
    std::string caption_;
    TApdCustomProtocol* protocol_ = nullptr;
    TComponent* protocolComponent_ = nullptr;  // the same object, seen as a component
};

}  // namespace kavo
