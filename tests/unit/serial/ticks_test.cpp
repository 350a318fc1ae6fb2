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

// The performance counter as a millisecond clock: its rate rounds to whole counts per
// millisecond, and its milliseconds wrap as the 32-bit clock does.
TEST(TickConversions, PerformanceCounterGivesWrappingMilliseconds) {
    EXPECT_EQ(CountsPerMillisecond(0), 0u);               // no counter
    EXPECT_EQ(CountsPerMillisecond(1ull << 32), 0u);      // too fast for the 32-bit division
    EXPECT_EQ(CountsPerMillisecond(0xFFFFFFFFull), 4294967u);
    EXPECT_EQ(CountsPerMillisecond(1000), 1u);
    EXPECT_EQ(CountsPerMillisecond(1500), 1u);            // a remainder of 500 rounds down
    EXPECT_EQ(CountsPerMillisecond(1501), 2u);
    EXPECT_EQ(CountsPerMillisecond(3579545), 3580u);      // the old 3.58 MHz timer
    EXPECT_EQ(CountsPerMillisecond(10000000), 10000u);    // today's 10 MHz counter

    EXPECT_EQ(MillisecondsFromCounter(7 * 10000ull + 9999, 10000), 7u);
    // Past 2^32 milliseconds the clock starts again from 0, as the 64-by-32 division gives it.
    const std::uint64_t wrapped = ((1ull << 32) + 5) * 10000;
    EXPECT_EQ(MillisecondsFromCounter(wrapped, 10000), 5u);
    EXPECT_EQ(MillisecondsFromCounter(wrapped - 10000, 10000), 4u);
    EXPECT_EQ(MillisecondsFromCounter(wrapped - 20000, 10000), 3u);
    EXPECT_EQ(MillisecondsFromCounter(((1ull << 32) - 1) * 10000, 10000), 0xFFFFFFFFu);
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

TEST_F(TicksTest, TimersAndElapsedTimesAreRightAcrossTheClocksWrap) {
    // The last tick before the millisecond clock wraps is 78090314; the next one is 0 again.
    const std::int64_t lastTick = 0xFFFFFFFFll / 55;
    ASSERT_EQ(lastTick, 78090314);
    struct Case {
        std::int64_t startTick;  // before the wrap
        std::int32_t length;
        std::int64_t nowTick;    // after the wrap
        bool expired;
        std::int32_t elapsed;
        std::int32_t left;
    };
    const Case cases[] = {
        {lastTick - 5, 20, 1, false, 7, 13},     // 7 ticks on: 13 to go
        {lastTick - 5, 20, 14, false, 20, 0},    // the last tick of the timer
        {lastTick - 5, 20, 15, true, 21, 0},     // one past it: fires now, not 24.8 days later
        {lastTick, 1, 0, false, 1, 0},
        {lastTick, 1, 1, true, 2, 0},
        {lastTick - 100, kMaxTimerTicks, 1000, false, 1101, kMaxTimerTicks - 1101},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.startTick) + " now " + std::to_string(c.nowTick));
        AtTick(c.startTick);
        TickTimer timer;
        StartTickTimer(timer, c.length);
        AtTick(c.nowTick);
        EXPECT_EQ(TickTimerExpired(timer), c.expired);
        EXPECT_EQ(TickTimerElapsed(timer), c.elapsed);
        EXPECT_EQ(TickTimerLeft(timer), c.left);
    }
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
