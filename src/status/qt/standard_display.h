// The transfer status window: six panels of figures, a progress meter and a Cancel button.
//
// The window has a fixed client size of 468 x 319, a dialog border without title-bar buttons, and
// stays on top of other windows. Each value field is right-aligned and keeps its right edge when
// its text grows (a longer text extends to the left), shows its text literally, and holds its
// placeholder until the first update. The controls carry their names as object names
// ("psFileSize", "psCancel", ...), so that tests and tools can find them.
//
// Thread safety: a widget; use it on the user-interface thread only.
#pragma once

#include "status/protocol_status.h"
#include "status/qt/meter.h"
#include "status/status_layout.h"

#include <QWidget>

#include <cstddef>

class QFrame;
class QLabel;
class QPushButton;

namespace kavo {

class TApdCustomProtocol;

class TStandardDisplay : public QWidget, public TStatusView {
    Q_OBJECT
public:
    explicit TStandardDisplay(QWidget* parent = nullptr);
    ~TStandardDisplay() override;

    // The protocol whose transfer the Cancel button cancels.
    TApdCustomProtocol* Protocol() const { return protocol_; }

    // Fills every value field and the meter from the protocol's figures (nothing without one).
    void UpdateValues(TApdCustomProtocol* protocol);
    // The Cancel button: cancels the protocol's transfer.
    void CancelClick();

    TApdMeter* Meter() const { return meter_; }

    // TStatusDisplayWindow
    TPosition WindowPosition() const override { return position_; }
    void SetWindowPosition(TPosition position) override;
    bool WindowCtl3D() const override { return ctl3D_; }
    void SetWindowCtl3D(bool on) override;
    bool WindowVisible() const override { return isVisible(); }
    void SetWindowVisible(bool on) override;
    std::string WindowCaption() const override;
    void SetWindowCaption(const std::string& caption) override;
    void SetWindowProtocol(TApdCustomProtocol* protocol) override { protocol_ = protocol; }

    // TStatusView
    void ShowFigures(const TStatusFigures& figures) override;
    void Repaint() override;

    // Where the window opens when its placement is the designed one.
    static constexpr int kDesignedLeft = kStatusDesignedLeft;
    static constexpr int kDesignedTop = kStatusDesignedTop;
    // The value fields of the four figure panels (protocol to Kermit windows).
    static constexpr std::size_t kValueFieldCount = kStatusFieldCount;

private:
    QFrame* AddPanel(const char* name, int left, int top, int width, int height);
    void AddLabel(QWidget* parent, const char* name, int left, int top, const char* caption);
    QLabel* AddValue(QWidget* parent, const char* name, int left, int top,
                     const char* placeholder);
    void SetValue(QLabel* field, const std::string& text);
    void Place();

    TApdCustomProtocol* protocol_ = nullptr;
    TPosition position_ = TPosition::poDesigned;
    bool ctl3D_ = true;

    QFrame* panels_[6] = {};
    QLabel* values_[kValueFieldCount] = {};  // in the order of the layout table
    QLabel* psStatusMsg_ = nullptr;
    TApdMeter* meter_ = nullptr;
    QPushButton* psCancel_ = nullptr;
};

// A status component's window factory that makes this window.
std::unique_ptr<TStatusView> MakeStandardDisplay();
// The window of a status component made with MakeStandardDisplay; nullptr when it has none.
TStandardDisplay* StandardDisplayOf(const TApdProtocolStatus& status);

}  // namespace kavo
