#include "transfer/abstract_status.h"

namespace kavo {

namespace {
constexpr const char* kDefaultCaption = "Protocol Status";
}

TApdAbstractStatus::TApdAbstractStatus(TComponent* owner) : TComponent(owner) {}

void TApdAbstractStatus::OpenDisplay() {
    CreateDisplay();
    if (display_) {
        position_ = display_->WindowPosition();
        ctl3D_ = display_->WindowCtl3D();
        visible_ = display_->WindowVisible();
        caption_ = display_->WindowCaption();
    }
    SetCaption(kDefaultCaption);
}

void TApdAbstractStatus::SetPosition(TPosition position) {
    if (position == position_) return;
    position_ = position;
    if (display_) display_->SetWindowPosition(position);
}

void TApdAbstractStatus::SetCtl3D(bool on) {
    if (on == ctl3D_) return;
    ctl3D_ = on;
    if (display_) display_->SetWindowCtl3D(on);
}

void TApdAbstractStatus::SetVisible(bool on) {
    if (on == visible_) return;
    visible_ = on;
    if (display_) display_->SetWindowVisible(on);
}

void TApdAbstractStatus::SetCaption(const std::string& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    if (display_) display_->SetWindowCaption(caption);
}

void TApdAbstractStatus::AssignProtocol(TApdCustomProtocol* protocol, TComponent* component) {
    protocol_ = protocol;
    protocolComponent_ = component;
    // Hear of its end even when another owner holds it. The link is never removed on a change:
    // a stale one only brings a notification that matches nothing, and removing it would also
    // remove the protocol's own interest in this component's end.
    if (component) FreeNotification(component);
}

void TApdAbstractStatus::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove && component && component == protocolComponent_) {
        protocol_ = nullptr;
        protocolComponent_ = nullptr;
        // The window must not keep a reference to a protocol that is gone (its Cancel button
        // would reach a freed object).
        if (display_) display_->SetWindowProtocol(nullptr);
    }
}

}  // namespace kavo
