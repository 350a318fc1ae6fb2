#include "platform/event_loop.h"
#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EventLoop, RunsTimersAndMessagesFromOtherThreadsUntilQuit) {
    std::vector<int> seen;
    TTimer repeating([&] { seen.push_back(1); });
    repeating.SetInterval(20);
    TTimer once([&] { seen.push_back(2); });
    once.SetInterval(30);
    once.SetSingleShot(true);
    once.SetEnabled(true);
    // Destroyed by another timer before its own (later) turn: it never fires.
    auto doomed = std::make_unique<TTimer>([&] { seen.push_back(3); });
    doomed->SetInterval(200);
    doomed->SetEnabled(true);
    const HWND window = CreateMessageWindow([&](std::uint32_t msg, WPARAM wParam, LPARAM) {
        seen.push_back(static_cast<int>(msg));
        if (wParam == 1) repeating.SetEnabled(true);
        if (wParam == 2) QuitEventLoop(7);
        return LRESULT{0};
    });
    std::jthread other([window] {
        PostMessage(window, 100, 1, 0);
        std::this_thread::sleep_for(100ms);
        PostMessage(window, 101, 0, 0);
    });
    TTimer killer([&] {
        doomed.reset();
        repeating.SetEnabled(false);
        PostMessage(window, 102, 2, 0);
    });
    killer.SetInterval(150);
    killer.SetSingleShot(true);
    killer.SetEnabled(true);

    EXPECT_EQ(RunEventLoop(), 7);
    DestroyMessageWindow(window);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 100);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 2), 1);  // single shot
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 3), 0);
    EXPECT_GE(std::count(seen.begin(), seen.end(), 1), 2);   // repeats while enabled
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 101), 1);
    EXPECT_EQ(seen.back(), 102);
    EXPECT_FALSE(once.Enabled());
    EXPECT_FALSE(repeating.Enabled());
}

TEST(EventLoop, ProcessMessagesFiresDueTimersOnceEvenWhenTheHandlerPumpsAgain) {
    int fired = 0;
    TTimer timer;
    timer.SetOnTimer([&] {
        ++fired;
        ProcessMessages();  // a nested wait inside the handler
    });
    timer.SetInterval(10);
    timer.SetEnabled(true);
    const auto deadline = Clock::now() + 5s;
    while (fired == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
        ProcessMessages();
    }
    EXPECT_EQ(fired, 1);
    timer.SetEnabled(false);
    std::this_thread::sleep_for(30ms);
    ProcessMessages();
    EXPECT_EQ(fired, 1);
}

TEST(EventLoop, ScheduleHookHearsWhenTheNextTimerIsDue) {
    std::vector<int> told;
    SetTimerScheduleHook([&](int ms) { told.push_back(ms); });
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), -1);
    {
        TTimer later;
        later.SetInterval(5000);
        later.SetEnabled(true);
        EXPECT_GT(told.back(), 4000);
        EXPECT_LE(told.back(), 5000);
        TTimer sooner;
        sooner.SetInterval(50);
        sooner.SetEnabled(true);
        EXPECT_LE(told.back(), 50);
    }
    EXPECT_EQ(told.back(), -1);  // both went with their scope
    SetTimerScheduleHook(nullptr);
}

}  // namespace
}  // namespace kavo
