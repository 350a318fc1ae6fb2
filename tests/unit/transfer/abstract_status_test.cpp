#include "transfer/abstract_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

// A window that records what the status component pushes to it.
class FakeWindow : public TStatusDisplayWindow {
public:
    TPosition WindowPosition() const override { return position; }
    void SetWindowPosition(TPosition p) override { position = p; log.push_back("position"); }
    bool WindowCtl3D() const override { return ctl3D; }
    void SetWindowCtl3D(bool on) override { ctl3D = on; log.push_back("ctl3d"); }
    bool WindowVisible() const override { return visible; }
    void SetWindowVisible(bool on) override { visible = on; log.push_back("visible"); }
    std::string WindowCaption() const override { return caption; }
    void SetWindowCaption(const std::string& c) override { caption = c; log.push_back("caption"); }
    void SetWindowProtocol(TApdCustomProtocol* p) override { protocol = p; }

    TPosition position = TPosition::poScreenCenter;
    bool ctl3D = false;
    bool visible = false;
    std::string caption = "Form1";
    TApdCustomProtocol* protocol = nullptr;
    std::vector<std::string> log;
};

class FakeStatus : public TApdAbstractStatus {
public:
    explicit FakeStatus(TComponent* owner, bool withWindow = true)
        : TApdAbstractStatus(owner), withWindow_(withWindow) {
        OpenDisplay();
    }
    ~FakeStatus() override { DestroyDisplay(); }
    void CreateDisplay() override {
        if (withWindow_) {
            window_ = new FakeWindow;
            SetDisplay(window_);
        }
    }
    void DestroyDisplay() override {
        SetDisplay(nullptr);
        delete window_;
        window_ = nullptr;
    }
    void UpdateDisplay(bool, bool) override {}
    FakeWindow* window() { return window_; }

private:
    bool withWindow_;
    FakeWindow* window_ = nullptr;
};

TEST(AbstractStatus, TakesTheWindowsPropertiesOverThenSetsItsCaption) {
    FakeStatus status(nullptr);
    ASSERT_NE(status.Display(), nullptr);
    EXPECT_EQ(status.Position(), TPosition::poScreenCenter);
    EXPECT_FALSE(status.Ctl3D());
    EXPECT_FALSE(status.Visible());
    EXPECT_EQ(status.Caption(), "Protocol Status");
    EXPECT_EQ(status.window()->caption, "Protocol Status");
    EXPECT_EQ(status.window()->log, std::vector<std::string>{"caption"});
}

TEST(AbstractStatus, SettersStoreAndApplyOnlyNewValues) {
    FakeStatus status(nullptr);
    FakeWindow* w = status.window();
    w->log.clear();
    status.SetPosition(TPosition::poScreenCenter);  // unchanged
    status.SetCaption("Protocol Status");           // unchanged
    EXPECT_TRUE(w->log.empty());
    status.SetPosition(TPosition::poDesigned);
    status.SetCtl3D(true);
    status.SetVisible(true);
    status.SetCaption("Sending");
    EXPECT_EQ(w->position, TPosition::poDesigned);
    EXPECT_TRUE(w->ctl3D);
    EXPECT_TRUE(w->visible);
    EXPECT_EQ(w->caption, "Sending");
    EXPECT_EQ(status.Caption(), "Sending");
    EXPECT_EQ(w->log.size(), 4u);
}

TEST(AbstractStatus, WithoutWindowSettersOnlyStore) {
    FakeStatus status(nullptr, false);
    EXPECT_EQ(status.Display(), nullptr);
    EXPECT_EQ(status.Caption(), "Protocol Status");
    status.SetVisible(true);
    status.SetPosition(TPosition::poDesktopCenter);
    EXPECT_TRUE(status.Visible());
    EXPECT_EQ(status.Position(), TPosition::poDesktopCenter);
    EXPECT_EQ(status.Protocol(), nullptr);
}

}  // namespace
}  // namespace kavo
