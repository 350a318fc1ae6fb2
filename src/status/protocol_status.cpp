#include "status/protocol_status.h"

#include "status/standard_display.h"

namespace kavo {

TApdProtocolStatus::TApdProtocolStatus(TComponent* owner) : TApdAbstractStatus(owner) {
    OpenDisplay();
}

TApdProtocolStatus::~TApdProtocolStatus() { DestroyDisplay(); }

void TApdProtocolStatus::CreateDisplay() {
    window_ = std::make_unique<TStandardDisplay>();
    window_->SetWindowProtocol(Protocol());
    window_->SetWindowCaption(Caption());
    SetDisplay(window_.get());
}

void TApdProtocolStatus::DestroyDisplay() {
    SetDisplay(nullptr);
    window_.reset();
}

void TApdProtocolStatus::UpdateDisplay(bool first, bool last) {
    if (!window_) return;
    if (first) {
        window_->SetWindowProtocol(Protocol());
        SetVisible(true);
        // The window may have been closed behind the component's back (by the window system).
        window_->SetWindowVisible(true);
    }
    if (last) {
        SetVisible(false);
        window_->SetWindowVisible(false);
        return;
    }
    window_->UpdateValues(Protocol());
    window_->repaint();
}

}  // namespace kavo
