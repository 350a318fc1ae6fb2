#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "fake_dispatcher.h"
#include "serial/error_codes.h"

namespace kavo::test {
namespace {

// The procedure handler reads `procTake` bytes of each availability message.
FakeDispatcher* current = nullptr;
int procTake = 0;
std::vector<std::uint32_t> procCounts;
std::vector<std::uint8_t> procBytes;
std::function<void()> procExtra;

void TakingHandler(std::uint32_t msg, std::uint32_t first, std::int32_t) {
    if (msg != kTriggerAvail) return;
    procCounts.push_back(first);
    for (int i = 0; i < procTake && current->InputReady(); ++i)
        procBytes.push_back(static_cast<std::uint8_t>(current->ReadChar()));
    if (procExtra) procExtra();
}

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        current = &d;
        procTake = 0;
        procCounts.clear();
        procBytes.clear();
        procExtra = nullptr;
        ASSERT_EQ(d.Open(100), 0);
        d.SetAvailTriggerLevel(1);
    }
    void TearDown() override {
        if (window) DestroyMessageWindow(window);
        current = nullptr;
    }
    // A window handler (this thread) that reads `take` bytes of each availability message.
    void AttachWindow(int take, std::vector<std::uint8_t>* bytes) {
        window = CreateMessageWindow([this, take, bytes](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
            if (msg == kTriggerAvail) {
                for (int i = 0; i < take && d.InputReady(); ++i) bytes->push_back(static_cast<std::uint8_t>(d.ReadChar()));
                if (windowExtra) windowExtra();
            }
            return 0;
        });
        d.AttachTriggerWindow(window);
        d.SetPortHandlerState(TPortHandlerState::install);
    }
    FakeDispatcher d;
    HWND window = 0;
    std::function<void()> windowExtra;
};

TEST_F(DeliveryTest, RingAdvancesByTheLargestTakeOfAnyHandler) {
    std::vector<std::uint8_t> windowBytes;
    AttachWindow(3, &windowBytes);
    procTake = 5;
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abcdefg");
    d.incoming.resize(5);  // five bytes arrive
    d.Pass();
    ASSERT_EQ(procCounts, std::vector<std::uint32_t>{5});
    // Both handlers read from the same first byte.
    EXPECT_EQ(procBytes, (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(windowBytes, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_FALSE(d.InputReady());
}

TEST_F(DeliveryTest, UntakenBytesAreAnnouncedAgainOnlyWithNewArrivals) {
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abc");
    d.Pass();
    d.Pass();  // nothing new: no second message
    EXPECT_EQ(procCounts, std::vector<std::uint32_t>{3});
    EXPECT_EQ(d.InputUsed(), 3u);
    procTake = 1;
    d.Arrive("de");
    d.Pass();
    EXPECT_EQ(procCounts, (std::vector<std::uint32_t>{3, 5}));
    EXPECT_EQ(procBytes, std::vector<std::uint8_t>{'a'});
    EXPECT_EQ(d.ReadChar(), 'b');
}

TEST_F(DeliveryTest, ABurstIsOneMessageAndAFullRingIsAnnouncedToo) {
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive(300);
    d.Pass();
    EXPECT_EQ(procCounts, std::vector<std::uint32_t>{300});
    d.FlushInput();
    // Exactly one ring's worth in one pass: the read position comes round to where it was.
    procCounts.clear();
    d.Arrive(kReceiveRingSize + 10);
    d.Pass();
    ASSERT_EQ(procCounts, std::vector<std::uint32_t>{kReceiveRingSize});
    EXPECT_EQ(d.InputUsed(), kReceiveRingSize);
    EXPECT_EQ(d.InputFree(), 0u);
    EXPECT_TRUE(d.InputReady());
    EXPECT_EQ(d.incoming.size(), 10u);  // the rest waits in the driver
    d.Pass();
    EXPECT_EQ(d.incoming.size(), 10u);
    EXPECT_EQ(d.ReadChar(), 0);
    d.Pass();
    EXPECT_EQ(d.incoming.size(), 9u);  // one byte of room, one byte read
    EXPECT_EQ(d.InputUsed(), kReceiveRingSize);
}

TEST_F(DeliveryTest, ReadsDuringADeliveryCountFromTheAnnouncedBytes) {
    std::vector<std::uint32_t> inside;
    procExtra = [&] {
        inside = {d.InputUsed(), d.InputFree()};
        EXPECT_EQ(d.PeekByte(1), 'a');  // peeking counts from the unread start
    };
    procTake = 2;
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abcd");
    d.Pass();
    EXPECT_EQ(inside, (std::vector<std::uint32_t>{2, kReceiveRingSize - 2}));
    EXPECT_EQ(d.InputUsed(), 2u);
    // Reading past the held bytes inside a delivery fails and takes nothing.
    procTake = 5;
    procExtra = [&] { EXPECT_EQ(d.ReadChar(), ecBufferIsEmpty); };
    d.Arrive("e");
    d.Pass();
    EXPECT_EQ(procBytes, (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(d.InputUsed(), 0u);
}

TEST_F(DeliveryTest, FlushInsideADeliveryConsumesTheWholeRing) {
    procExtra = [&] { d.FlushInput(); };
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abcdef");
    d.Pass();
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_EQ(d.ReadChar(), ecBufferIsEmpty);
}

TEST_F(DeliveryTest, ClosingFromAWindowHandlerAbortsTheDelivery) {
    std::vector<std::uint8_t> windowBytes;
    AttachWindow(1, &windowBytes);
    windowExtra = [&] { d.ClosePort(); };
    d.Arrive("abc");
    EXPECT_FALSE(d.ServiceDevice());
    EXPECT_TRUE(d.ClosePending());
    EXPECT_FALSE(d.Dispatching());
    EXPECT_FALSE(d.IsOpen());
}

TEST_F(DeliveryTest, DeliveryResultTellsWhetherAllAnnouncedBytesWereTaken) {
    d.SetAvailTriggerLevel(0);  // the pass only fills the ring
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abc");
    d.Pass();
    EXPECT_TRUE(procCounts.empty());
    procTake = 2;
    EXPECT_FALSE(d.DeliverTrigger(kTriggerAvail, 3, 0));
    EXPECT_EQ(d.InputUsed(), 1u);
    procTake = 1;
    EXPECT_TRUE(d.DeliverTrigger(kTriggerAvail, 1, 0));
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_EQ(procBytes, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

TEST_F(DeliveryTest, DetachDuringADeliveryIsDeferredUntilItEnds) {
    procTake = 1;
    procExtra = [&] { d.DetachTriggerHandler(TakingHandler); };
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("ab");
    d.Pass();
    EXPECT_EQ(procCounts.size(), 1u);
    d.Arrive("c");
    d.Pass();
    EXPECT_EQ(procCounts.size(), 1u);  // gone after the first delivery
}

TEST_F(DeliveryTest, SendBlockQueuesAllOrNothing) {
    EXPECT_EQ(d.SendBlock("", 0), 0);
    std::vector<std::uint8_t> block(60, 'x');
    ASSERT_EQ(d.SendBlock(block.data(), 60), 0);
    EXPECT_EQ(d.OutputUsed(), 60u);
    EXPECT_EQ(d.SendBlock(block.data(), 41), ecOutputBufferTooSmall);
    EXPECT_EQ(d.OutputUsed(), 60u);  // nothing of the refused block queued
    ASSERT_EQ(d.SendBlock(block.data(), 40), 0);  // exactly the free space
    EXPECT_EQ(d.OutputUsed(), 100u);
    EXPECT_EQ(d.OutputFree(), 0u);
    EXPECT_EQ(d.SendChar('y'), ecOutputBufferTooSmall);
    EXPECT_EQ(d.DrainOutputRing().size(), 100u);
    // Wrapping round the ring keeps the byte order.
    std::string text = "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    ASSERT_EQ(d.SendBlock(text.data(), 50), 0);
    d.DrainOutputRing();
    ASSERT_EQ(d.SendBlock(text.data(), text.size()), 0);
    auto out = d.DrainOutputRing();
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
}

TEST_F(DeliveryTest, OperationsOnAClosedDispatcherAreHarmless) {
    d.ClosePort();
    EXPECT_FALSE(d.InputReady());
    EXPECT_EQ(d.ReadChar(), ecBufferIsEmpty);
    EXPECT_EQ(d.SendBlock("a", 1), ecCommNotOpen);
    EXPECT_EQ(d.OutputUsed(), 0u);
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_EQ(d.FlushInput(), 0);
    EXPECT_EQ(d.FlushOutput(), 0);
    EXPECT_EQ(d.Open(100), 0);  // and it opens again
}

TEST_F(DeliveryTest, AHandlerThatRaisesLeavesNoDeliveryRunning) {
    // The error goes on to the worker that runs the pass; the dispatcher must not stay "inside a
    // delivery", or every later close would wait for a delivery that is over.
    procTake = 2;
    procExtra = [&] {
        d.DetachTriggerHandler(TakingHandler);
        throw std::runtime_error("handler failed");
    };
    d.AttachTriggerHandler(TakingHandler);
    d.Arrive("abc");
    EXPECT_THROW(d.Pass(), std::runtime_error);
    EXPECT_FALSE(d.Dispatching());
    // What the handler read is not consumed, and reads outside a delivery take from the ring.
    EXPECT_EQ(d.InputUsed(), 3u);
    EXPECT_EQ(d.ReadChar(), 'a');
    // The detach it asked for is done, and the next delivery goes to nobody.
    d.Arrive("d");
    d.Pass();
    EXPECT_EQ(procCounts.size(), 1u);
    d.ClosePort();
    EXPECT_FALSE(d.ClosePending());
    EXPECT_FALSE(d.IsOpen());
}

TEST_F(DeliveryTest, AWorkerFailureTakesTheLineDownAndIsPostedOnce) {
    std::vector<std::pair<WPARAM, LPARAM>> told;
    window = CreateMessageWindow([&](std::uint32_t msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == kWorkerFailed) told.emplace_back(wParam, lParam);
        return 0;
    });
    d.AttachTriggerWindow(window);
    ASSERT_EQ(d.SendBlock("abc", 3), 0);
    EXPECT_EQ(d.RecordFailure(2, "COM1: the output thread ended by an error: boom"), 1);
    EXPECT_TRUE(d.WorkerFailed());
    EXPECT_EQ(d.WorkerFailure(), "COM1: the output thread ended by an error: boom");
    // Down as after a device loss: queued output dropped, nothing more accepted.
    EXPECT_TRUE(d.DeviceLost());
    EXPECT_EQ(d.OutputUsed(), 0u);
    EXPECT_EQ(d.SendBlock("d", 1), ecDeviceWrite);
    // Only the first failure counts and is told.
    EXPECT_EQ(d.RecordFailure(1, "COM1: the dispatcher thread ended by an error: later"), -1);
    EXPECT_EQ(d.WorkerFailure(), "COM1: the output thread ended by an error: boom");
    ProcessMessages();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, 2u);
    EXPECT_EQ(static_cast<std::uint32_t>(told[0].second) >> 16, static_cast<std::uint32_t>(d.Handle()));
    // A new open starts clean.
    d.ClosePort();
    ASSERT_EQ(d.Open(100), 0);
    EXPECT_FALSE(d.WorkerFailed());
    EXPECT_EQ(d.WorkerFailure(), "");
    EXPECT_EQ(d.SendBlock("e", 1), 0);
}

}  // namespace
}  // namespace kavo::test
