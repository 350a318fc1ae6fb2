#include "platform/component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

// Records the notifications it gets and its own destruction.
class Probe : public TComponent {
public:
    Probe(TComponent* owner, std::string name, std::vector<std::string>* log)
        : TComponent(owner), log_(log) {
        SetName(std::move(name));
    }
    ~Probe() override { log_->push_back("~" + Name()); }
    void Notification(TComponent* c, TOperation op) override {
        log_->push_back(Name() + (op == TOperation::opRemove ? " -" : " +") + c->Name());
    }

private:
    std::vector<std::string>* log_;
};

TEST(Component, OwnerListsAndFreesItsComponentsLastFirst) {
    std::vector<std::string> log;
    auto* root = new Probe(nullptr, "root", &log);
    auto* a = new Probe(root, "a", &log);
    new Probe(root, "b", &log);
    new Probe(a, "a1", &log);
    ASSERT_EQ(root->ComponentCount(), 2);
    EXPECT_EQ(root->Components()[0], a);
    EXPECT_EQ(a->Owner(), root);
    log.clear();
    delete root;
    // The owner's own part is gone before it frees its components (b first, then a with its
    // child), so only the surviving sibling hears of b's removal.
    std::vector<std::string> expected{"~root", "~b", "a -b", "~a", "~a1"};
    EXPECT_EQ(log, expected);
}

TEST(Component, FreeNotificationReachesComponentsOfOtherOwners) {
    std::vector<std::string> log;
    Probe ownerA(nullptr, "A", &log);
    Probe ownerB(nullptr, "B", &log);
    auto* port = new Probe(&ownerA, "port", &log);
    auto* user = new Probe(&ownerB, "user", &log);
    user->FreeNotification(port);
    log.clear();
    delete port;
    EXPECT_EQ(log, (std::vector<std::string>{"~port", "user -port", "A -port"}));
    log.clear();
    delete user;  // the link is gone both ways: nothing dangles
    EXPECT_EQ(log, (std::vector<std::string>{"~user", "B -user"}));
}

TEST(Component, LoadingStateLastsUntilLoaded) {
    TComponent c;
    EXPECT_FALSE(c.IsLoading());
    c.BeginLoading();
    EXPECT_TRUE(c.IsLoading());
    c.Loaded();
    EXPECT_FALSE(c.IsLoading());
    EXPECT_FALSE(c.IsDesigning());
}

}  // namespace
}  // namespace kavo
