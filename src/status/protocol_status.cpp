#include "status/protocol_status.h"

#include "serial/com_port.h"
#include "transfer/protocol.h"
#include "transfer/status_figures.h"

#include <exception>

namespace kavo {

TApdProtocolStatus::TApdProtocolStatus(TComponent* owner, TStatusViewFactory makeView)
    : TApdAbstractStatus(owner), makeView_(std::move(makeView)) {
    OpenDisplay();
}

TApdProtocolStatus::~TApdProtocolStatus() { DestroyDisplay(); }

void TApdProtocolStatus::CreateDisplay() {
    if (!makeView_) return;
    view_ = makeView_();
    view_->SetWindowProtocol(Protocol());
    view_->SetWindowCaption(Caption());
    SetDisplay(view_.get());
}

void TApdProtocolStatus::DestroyDisplay() {
    SetDisplay(nullptr);
    view_.reset();
}

void TApdProtocolStatus::UpdateDisplay(bool first, bool last) {
    if (!view_) return;
    if (first) {
        view_->SetWindowProtocol(Protocol());
        SetVisible(true);
        // The window may have been closed behind the component's back (by the window system).
        view_->SetWindowVisible(true);
    }
    if (last) {
        SetVisible(false);
        view_->SetWindowVisible(false);
        return;
    }
    if (Protocol()) view_->ShowFigures(FiguresOf(*Protocol()));
    view_->Repaint();
}

void CancelStatusTransfer(TApdCustomProtocol* protocol) {
    if (!protocol) return;
    try {
        protocol->CancelTransfer();
    } catch (...) {
        ShowException(std::current_exception());
    }
}

}  // namespace kavo
