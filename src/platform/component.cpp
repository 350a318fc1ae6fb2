#include "platform/component.h"

#include <algorithm>

namespace kavo {

namespace {
void Erase(std::vector<TComponent*>& list, TComponent* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}
}  // namespace

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    destroying_ = true;
    // Those who asked to hear of our end hear of it first; then we forget them both ways.
    auto notifies = freeNotifies_;
    freeNotifies_.clear();
    for (TComponent* other : notifies) {
        Erase(other->freeNotifies_, this);
        other->Notification(this, TOperation::opRemove);
    }
    while (!components_.empty()) {
        TComponent* last = components_.back();
        delete last;  // its destructor removes it from components_
    }
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    (void)component;
    (void)operation;
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this) return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end()) {
        freeNotifies_.push_back(component);
        component->freeNotifies_.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    if (!component) return;
    Erase(freeNotifies_, component);
    Erase(component->freeNotifies_, this);
}

void TComponent::InsertComponent(TComponent* component) {
    component->owner_ = this;
    components_.push_back(component);
    NotifyAll(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    NotifyAll(component, TOperation::opRemove);
    Erase(components_, component);
    component->owner_ = nullptr;
}

void TComponent::NotifyAll(TComponent* component, TOperation operation) {
    Notification(component, operation);
    for (TComponent* sibling : std::vector<TComponent*>(components_)) {
        if (sibling != component) sibling->Notification(component, operation);
    }
}

}  // namespace kavo
