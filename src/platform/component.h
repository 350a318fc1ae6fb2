// The component base: an object that an owner holds and frees.
//
// Components form an ownership tree: an owner keeps the list of the components it owns, in
// creation order, and destroys them (last first) when it is destroyed itself. When a component
// goes away, its owner and the owner's other components hear of it through Notification, so that
// a component that refers to another (a protocol to its port, say) can forget the reference.
//
// ComponentState carries the two states that the components look at: being designed (never set
// by this program, kept so that the rules that test it stay visible) and being streamed in (set
// between BeginLoading and Loaded).
//
// Thread safety: components belong to the user-interface thread.
#pragma once

#include <string>
#include <vector>

namespace kavo {

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::vector<TComponent*>& Components() const { return components_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    bool IsDesigning() const { return designing_; }
    bool IsLoading() const { return loading_; }
    bool IsDestroying() const { return destroying_; }
    void SetDesigning(bool on) { designing_ = on; }

    // Streaming in: BeginLoading sets the loading state; Loaded clears it (overrides call the
    // inherited Loaded first).
    void BeginLoading() { loading_ = true; }
    virtual void Loaded() { loading_ = false; }

    // Told when a component is inserted into or removed from this component's owner (or this
    // component itself, for the owner).
    virtual void Notification(TComponent* component, TOperation operation);

    // Asks to be told (Notification with opRemove) when `component` is destroyed, whoever owns it.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    void NotifyAll(TComponent* component, TOperation operation);

    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    std::string name_;
    bool designing_ = false;
    bool loading_ = false;
    bool destroying_ = false;
};

}  // namespace kavo
