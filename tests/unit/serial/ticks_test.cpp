#include "serial/ticks.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/message_queue.h"

namespace kavo {
namespace {

std::uint32_t fakeNow = 0;
std::uint32_t FakeClock() { return fakeNow; }

class TicksTest : public ::testing::Test {
protected:
    void SetUp() override { SetClockSource(FakeClock); }
    void TearDown() override { SetClockSource(nullptr); }
    static void AtTick(std::int64_t tick) { fakeNow = static_cast<std::uint32_t>(tick * 55); }
};

TEST(TickConversions, SecondsAndTicksUseTheirIntegerFormulas) {
    EXPECT_EQ(SecondsToTicks(60), 1092);
    EXPECT_EQ(TicksToSeconds(1092), 60);
    EXPECT_EQ(SecondsToTicks(1), 18);
    EXPECT_EQ(TicksToSeconds(0), 0);
    EXPECT_EQ(TicksToSeconds(9), 0);
    EXPECT_EQ(TicksToSeconds(10), 1);
    EXPECT_EQ(SecondsToTicks(0), 0);
}

TEST_F(TicksTest, TimerExpiresOnlyAfterItsLastTick) {
    AtTick(1000);
    TickTimer timer;
    StartTickTimer(timer, 10);
    EXPECT_EQ(timer.startTicks, 1000);
    EXPECT_EQ(timer.expireTicks, 1010);
    AtTick(1010);
    EXPECT_FALSE(TickTimerExpired(timer));
    EXPECT_EQ(TickTimerElapsed(timer), 10);
    EXPECT_EQ(TickTimerLeft(timer), 0);
    AtTick(1011);
    EXPECT_TRUE(TickTimerExpired(timer));
    EXPECT_EQ(TickTimerLeft(timer), 0);  // never negative
    AtTick(1004);
    EXPECT_EQ(TickTimerLeft(timer), 6);
}

TEST_F(TicksTest, LengthsAreCappedAndAZeroTimerNeedsTheNextTick) {
    AtTick(5);
    TickTimer timer;
    StartTickTimer(timer, 2000000000);
    EXPECT_EQ(timer.expireTicks - timer.startTicks, kMaxTimerTicks);
    StartTickTimer(timer, 0);
    EXPECT_FALSE(TickTimerExpired(timer));
    AtTick(6);
    EXPECT_TRUE(TickTimerExpired(timer));
}

TEST_F(TicksTest, WrapOfTheMillisecondClockIsAllowedFor) {
    // The tick count of the last millisecond before the wrap is 78090313; after it, counting
    // starts again at 0.
    const std::int64_t lastTick = 0xFFFFFFFFll / 55;
    AtTick(lastTick - 5);
    TickTimer timer;
    StartTickTimer(timer, 20);
    EXPECT_FALSE(TickTimerExpired(timer));
    fakeNow = 100;  // wrapped: tick 1
    // now < start: expired when now + allowance passes the expiry.
    EXPECT_EQ(TickTimerExpired(timer), 1 + kMaxTimerTicks > timer.expireTicks);
    EXPECT_EQ(TickTimerElapsed(timer), 1 + kMaxTimerTicks - timer.startTicks);
    std::int32_t left = timer.expireTicks - kMaxTimerTicks - 1;
    EXPECT_EQ(TickTimerLeft(timer), left < 0 ? 0 : left);
}

TEST(WaitTicksTest, NothingToWaitAndAQuitMessageEndTheWait) {
    EXPECT_EQ(WaitTicks(0, true), 0u);
    EXPECT_EQ(WaitTicks(-3, false), 0u);
    // On a thread of its own: the quit message stays queued for good.
    std::thread([] {
        PostQuitMessage(0);
        EXPECT_EQ(WaitTicks(1000, true), WM_QUIT);  // returns at once, not after 55 s
        EXPECT_EQ(PumpOneMessage(), WM_QUIT);         // the quit message stays queued
    }).join();
}

}  // namespace
}  // namespace kavo
