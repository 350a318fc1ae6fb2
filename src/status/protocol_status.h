// The status component of a protocol component: shows a TStandardDisplay while a transfer runs.
//
// The window is created with the component, hidden, and lives as long as the component. The first
// status report of a transfer shows it, every report refreshes and repaints it at once, and the
// last report hides it again.
//
// Thread safety: a component; use it on the user-interface thread only.
#pragma once

#include "transfer/abstract_status.h"

#include <memory>

namespace kavo {

class TStandardDisplay;

class TApdProtocolStatus : public TApdAbstractStatus {
public:
    explicit TApdProtocolStatus(TComponent* owner = nullptr);
    ~TApdProtocolStatus() override;

    // The window, for whoever needs to look at it; nullptr when there is none.
    TStandardDisplay* StandardDisplay() const { return window_.get(); }

    void CreateDisplay() override;
    void DestroyDisplay() override;
    void UpdateDisplay(bool first, bool last) override;

private:
    std::unique_ptr<TStandardDisplay> window_;
};

}  // namespace kavo
