#include <gtest/gtest.h>

#include <vector>

#include "fake_dispatcher.h"
#include "serial/error_codes.h"

namespace kavo::test {
namespace {

std::uint32_t fakeNow = 0;
std::uint32_t FakeClock() { return fakeNow; }

std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;  // (message, first)
std::vector<std::int32_t> seenLong;
void Recorder(std::uint32_t msg, std::uint32_t first, std::int32_t lParam) {
    seen.emplace_back(msg, first);
    seenLong.push_back(lParam);
}

class TriggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 55 * 1000;
        SetClockSource(FakeClock);
        seen.clear();
        seenLong.clear();
        ASSERT_EQ(d.Open(100), 0);
        d.AttachTriggerHandler(Recorder);
    }
    void TearDown() override { SetClockSource(nullptr); }
    FakeDispatcher d;
};

TEST_F(TriggerTest, HandlesAreMultiplesOfEightAndStatusHandlesCarryTheirKind) {
    EXPECT_EQ(d.CreateStatusTrigger(stOutBuffUsed), 12);  // 8 OR 4
    EXPECT_EQ(d.CreateTimerTrigger(), 16);
    EXPECT_EQ(d.CreateStatusTrigger(stModem), 25);
    EXPECT_EQ(d.CreateStatusTrigger(6), ecBadArgument);
    EXPECT_EQ(d.ArmTimerTrigger(12, 5, true), ecBadTriggerHandle);  // a status trigger
    EXPECT_EQ(d.ArmStatusTrigger(16, 5, true), ecBadTriggerHandle);  // a timer trigger
    std::int32_t left;
    EXPECT_EQ(d.TimerTicksLeft(24, left), ecBadTriggerHandle);
    EXPECT_EQ(d.DeleteTrigger(0), ecBadTriggerHandle);
    EXPECT_EQ(d.DeleteTrigger(24), ecBadTriggerHandle);  // 25 is the handle, not 24
    EXPECT_EQ(d.DeleteTrigger(25), 0);
    EXPECT_EQ(d.DeleteTrigger(25), ecBadTriggerHandle);
    d.SetAvailTriggerLevel(3);
    EXPECT_EQ(d.DeleteTrigger(1), 0);
    EXPECT_EQ(d.AvailTriggerLevel(), 0u);
    d.ClearTriggers();
    EXPECT_EQ(d.CreateTimerTrigger(), 8);
}

TEST_F(TriggerTest, AfterTheCounterRunsOutFreeHandlesAreReusedUpTo4096) {
    for (int i = 1; i < 4096; ++i) ASSERT_EQ(d.CreateTimerTrigger(), i * 8);
    // Every multiple of 8 up to 4096 is taken: no slot is left.
    EXPECT_EQ(d.CreateTimerTrigger(), ecNoMoreTriggers);
    EXPECT_EQ(d.DeleteTrigger(16), 0);
    EXPECT_EQ(d.DeleteTrigger(4096), 0);
    EXPECT_EQ(d.CreateStatusTrigger(stOutSent), 16 | 5);
    EXPECT_EQ(d.CreateTimerTrigger(), 4096);
    EXPECT_EQ(d.CreateTimerTrigger(), ecNoMoreTriggers);
}

TEST_F(TriggerTest, RestoredTriggersKeepTheirHandlesAndNewOnesDoNotCollide) {
    int timer = d.CreateTimerTrigger();
    int status = d.CreateStatusTrigger(stOutBuffFree);
    d.SetAvailTriggerLevel(1);
    TriggerSnapshot snapshot;
    d.SaveTriggers(snapshot);
    d.ClearTriggers();
    d.RestoreTriggers(snapshot);
    EXPECT_EQ(d.AvailTriggerLevel(), 1u);
    EXPECT_EQ(d.ArmTimerTrigger(timer, 3, true), 0);
    EXPECT_EQ(d.ArmStatusTrigger(status, 10, true), 0);
    int fresh = d.CreateTimerTrigger();
    EXPECT_NE(fresh, timer);
    EXPECT_NE(fresh, status & ~7);
}

TEST_F(TriggerTest, TimersFireOnceAfterTheirLengthAndReuseTheLastLength) {
    int timer = d.CreateTimerTrigger();
    ASSERT_EQ(d.ArmTimerTrigger(timer, 3, true), 0);
    std::int32_t left = 0;
    EXPECT_EQ(d.TimerTicksLeft(timer, left), 0);
    EXPECT_EQ(left, 3);
    fakeNow += 3 * 55;
    d.Pass();
    EXPECT_TRUE(seen.empty());
    fakeNow += 55;
    d.Pass();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(kTriggerTimer, static_cast<std::uint32_t>(timer)));
    EXPECT_EQ(seenLong[0], d.Handle() << 16);
    fakeNow += 100 * 55;
    d.Pass();
    EXPECT_EQ(seen.size(), 1u);  // one-shot
    // Re-armed with 0: the last length again.
    ASSERT_EQ(d.ArmTimerTrigger(timer, 0, true), 0);
    fakeNow += 3 * 55;
    d.Pass();
    EXPECT_EQ(seen.size(), 1u);
    fakeNow += 55;
    d.Pass();
    EXPECT_EQ(seen.size(), 2u);
    // Switched off before it expires: never fires.
    ASSERT_EQ(d.ArmTimerTrigger(timer, 1, true), 0);
    ASSERT_EQ(d.ArmTimerTrigger(timer, 1, false), 0);
    fakeNow += 10 * 55;
    d.Pass();
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(TriggerTest, ATimerNeverArmedWithALengthFiresAtTheNextTick) {
    int timer = d.CreateTimerTrigger();
    ASSERT_EQ(d.ArmTimerTrigger(timer, 0, true), 0);
    d.Pass();
    EXPECT_TRUE(seen.empty());
    fakeNow += 55;
    d.Pass();
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(TriggerTest, APassWaitsNoLongerThanTheNextArmedTimer) {
    EXPECT_EQ(d.PassWaitMs(50), 50u);
    fakeNow += 20;  // inside a tick: a timer expires when the tick count passes its last tick
    const int late = d.CreateTimerTrigger();
    const int soon = d.CreateTimerTrigger();
    const int off = d.CreateTimerTrigger();
    ASSERT_EQ(d.ArmTimerTrigger(late, 20, true), 0);
    ASSERT_EQ(d.ArmTimerTrigger(off, 1, true), 0);
    ASSERT_EQ(d.ArmTimerTrigger(off, 1, false), 0);
    EXPECT_EQ(d.PassWaitMs(50), 50u);
    ASSERT_EQ(d.ArmTimerTrigger(soon, 3, true), 0);
    const std::uint32_t wait = d.PassWaitMs(1000);
    EXPECT_EQ(wait, 4 * 55u - 20);
    // A pass one millisecond early finds it running; the pass the wait leads to fires it.
    fakeNow += wait - 1;
    d.Pass();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(d.PassWaitMs(50), 1u);
    fakeNow += 1;
    d.Pass();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(kTriggerTimer, static_cast<std::uint32_t>(soon)));
    EXPECT_EQ(d.PassWaitMs(50), 50u);
}

TEST_F(TriggerTest, OutputBufferTriggersWatchTheRing) {
    int freeTrigger = d.CreateStatusTrigger(stOutBuffFree);
    int usedTrigger = d.CreateStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(d.ArmStatusTrigger(freeTrigger, 100, true), 0);  // fires only when empty
    ASSERT_EQ(d.ArmStatusTrigger(usedTrigger, 0, true), 0);
    ASSERT_EQ(d.SendBlock("0123456789", 10), 0);
    d.Pass();
    EXPECT_TRUE(seen.empty());
    d.DrainOutputRing();
    d.Pass();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].second, static_cast<std::uint32_t>(freeTrigger));
    EXPECT_EQ(seenLong[0] & 0xFFFF, 100);  // OutputFree
    EXPECT_EQ(seen[1].second, static_cast<std::uint32_t>(usedTrigger));
    EXPECT_EQ(seenLong[1] & 0xFFFF, 0);  // OutputUsed
    d.Pass();
    EXPECT_EQ(seen.size(), 2u);  // firing disarms
}

TEST_F(TriggerTest, OutputSentModemAndLineStatusTriggers) {
    int sent = d.CreateStatusTrigger(stOutSent);
    ASSERT_EQ(d.ArmStatusTrigger(sent, 0, true), 0);
    d.Pass();
    EXPECT_TRUE(seen.empty());
    d.SendChar('x');
    d.Pass();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, static_cast<std::uint32_t>(sent));

    int modem = d.CreateStatusTrigger(stModem);
    ASSERT_EQ(d.ArmStatusTrigger(modem, msDcd, true), 0);  // carrier now low
    d.levels = msCts;  // another line: not watched
    d.Pass();
    EXPECT_EQ(seen.size(), 1u);
    d.levels = msCts | msDcd;
    d.Pass();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].second, static_cast<std::uint32_t>(modem));

    int line = d.CreateStatusTrigger(stLine);
    ASSERT_EQ(d.ArmStatusTrigger(line, 2, true), 0);  // selector 2: parity (0x04)
    d.pendingErrors = leFraming;
    d.SetEventMask(evErr);
    d.Pass();
    EXPECT_EQ(seen.size(), 2u);
    d.pendingErrors = leParity;
    d.SetEventMask(evErr);
    d.Pass();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].second, static_cast<std::uint32_t>(line));
}

TEST_F(TriggerTest, HandlerStateDecidesWhetherWindowsAreServed) {
    // Without a procedure, one window and no port interest: nothing is delivered.
    d.DetachTriggerHandler(Recorder);
    int calls = 0;
    HWND window = CreateMessageWindow([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        return 0;
    });
    d.AttachTriggerWindow(window);
    d.SetPortHandlerState(TPortHandlerState::remove);
    int timer = d.CreateTimerTrigger();
    d.ArmTimerTrigger(timer, 0, true);
    fakeNow += 55;
    d.Pass();
    EXPECT_EQ(calls, 0);
    d.SetPortHandlerState(TPortHandlerState::install);
    d.ArmTimerTrigger(timer, 0, true);
    fakeNow += 55;
    d.Pass();
    EXPECT_EQ(calls, 1);
    d.DetachTriggerWindow(window);
    DestroyMessageWindow(window);
}

TEST_F(TriggerTest, UserDataSlotsAreOneToThree) {
    int value = 7;
    EXPECT_EQ(d.SetUserData(&value, 0), ecBadArgument);
    EXPECT_EQ(d.SetUserData(&value, 4), ecBadArgument);
    EXPECT_EQ(d.SetUserData(&value, 1), 0);
    EXPECT_EQ(d.GetUserData(1), &value);
    EXPECT_EQ(d.GetUserData(2), nullptr);
}

TEST(DispatcherListTest, HandlesAreSlotsReusedFirstFree) {
    auto a = std::make_unique<FakeDispatcher>();
    auto b = std::make_unique<FakeDispatcher>();
    auto c = std::make_unique<FakeDispatcher>();
    EXPECT_EQ(FindDispatcher(b->Handle()), b.get());
    int bHandle = b->Handle();
    b.reset();
    EXPECT_EQ(FindDispatcher(bHandle), nullptr);
    auto e = std::make_unique<FakeDispatcher>();
    EXPECT_EQ(e->Handle(), bHandle);
    int count = TApdBaseDispatcher::DispatcherCount();
    c.reset();
    e.reset();
    EXPECT_LT(TApdBaseDispatcher::DispatcherCount(), count);  // empty slots at the end go
    EXPECT_EQ(FindDispatcher(-1), nullptr);
}

}  // namespace
}  // namespace kavo::test
