#include "serial/event_signal.h"

#include <gtest/gtest.h>

#include <thread>

namespace kavo {
namespace {

TEST(EventSignalTest, AutoResetWakesOneWaitAndIsNotLostBeforeTheWait) {
    TEventSignal signal;
    ASSERT_TRUE(signal.Create());
    EXPECT_FALSE(signal.Wait(0));
    signal.Set();
    signal.Set();  // twice before the wait: still one wake-up
    EXPECT_TRUE(signal.IsSet());
    EXPECT_TRUE(signal.Wait(0));
    EXPECT_FALSE(signal.Wait(0));
}

TEST(EventSignalTest, ManualResetStaysSetUntilReset) {
    TEventSignal signal(true);
    ASSERT_TRUE(signal.Create());
    signal.Set();
    EXPECT_TRUE(signal.Wait(0));
    EXPECT_TRUE(signal.Wait(0));
    signal.Reset();
    EXPECT_FALSE(signal.IsSet());
    EXPECT_FALSE(signal.Wait(0));
}

TEST(EventSignalTest, WaitAnyNamesTheSignalThatWasSetAndTimesOut) {
    TEventSignal first, second;
    ASSERT_TRUE(first.Create());
    ASSERT_TRUE(second.Create());
    EXPECT_EQ(TEventSignal::WaitAny({&first, &second}, 1), -1);
    std::thread setter([&] { second.Set(); });
    EXPECT_EQ(TEventSignal::WaitAny({&first, &second}, 10000), 1);
    setter.join();
    EXPECT_FALSE(second.IsSet());  // consumed by the wait
}

TEST(EventSignalTest, ClosedSignalIgnoresSetAndIsInvalid) {
    TEventSignal signal;
    ASSERT_TRUE(signal.Create());
    signal.Close();
    EXPECT_FALSE(signal.Valid());
    signal.Set();
    EXPECT_FALSE(signal.IsSet());
}

}  // namespace
}  // namespace kavo
