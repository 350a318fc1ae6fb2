// The status component of a protocol component: shows a status window while a transfer runs.
//
// The window is created with the component, hidden, and lives as long as the component. The first
// status report of a transfer shows it, every report refreshes and repaints it at once, and the
// last report hides it again. What the window is belongs to a toolkit: the component is given a
// factory that makes one (TStatusView); without a factory it has no window and reports do nothing.
//
// Thread safety: a component; use it on the user-interface thread only.
#pragma once

#include "transfer/abstract_status.h"

#include <functional>
#include <memory>

namespace kavo {

struct TStatusFigures;

// A status window as the status component drives it, whatever toolkit draws it.
class TStatusView : public TStatusDisplayWindow {
public:
    // Fills every value field and the meter from a snapshot of figures.
    virtual void ShowFigures(const TStatusFigures& figures) = 0;
    // Brings the window's picture up to date at once, not at the toolkit's next idle moment.
    virtual void Repaint() = 0;
};

using TStatusViewFactory = std::function<std::unique_ptr<TStatusView>()>;

class TApdProtocolStatus : public TApdAbstractStatus {
public:
    explicit TApdProtocolStatus(TComponent* owner = nullptr, TStatusViewFactory makeView = {});
    ~TApdProtocolStatus() override;

    // The window, for whoever needs to look at it; nullptr when there is none.
    TStatusView* View() const { return view_.get(); }

    void CreateDisplay() override;
    void DestroyDisplay() override;
    void UpdateDisplay(bool first, bool last) override;

private:
    TStatusViewFactory makeView_;
    std::unique_ptr<TStatusView> view_;
};

// The Cancel button of a status window: cancels the protocol's transfer (nothing without one).
// An error goes to the application's error display, never into the toolkit's event loop.
void CancelStatusTransfer(TApdCustomProtocol* protocol);

}  // namespace kavo
