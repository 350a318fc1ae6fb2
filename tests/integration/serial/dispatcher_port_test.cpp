// The dispatcher on a real line, on either platform: bytes both ways and streams larger than the
// rings, a full receive ring, the availability and status triggers, closes from inside a
// delivery and with output still queued, a flush while a write is stuck.
#include <atomic>
#include <thread>

#include "port_fixture.h"
#include "serial/error_codes.h"

namespace kavo::test {
namespace {

using namespace std::chrono_literals;

// Waits until the output ring holds bytes that stay there: the far end reads nothing and the
// device has taken what it can.
bool OutputStuck(TApdBaseDispatcher& dispatcher) {
    std::uint32_t last = 0;
    return HandlerLog::Get().WaitFor([&] {
        const std::uint32_t now = dispatcher.OutputUsed();
        const bool steady = now == last && now > 0;
        last = now;
        if (!steady) std::this_thread::sleep_for(20ms);
        return steady;
    });
}

TEST_F(PortTest, BytesTravelBothWaysExactly) {
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(dispatcher->ThreadsStarted());
    EXPECT_EQ(dispatcher->DevicePath(), PortDevice());
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);

    auto incoming = Pattern(3000);
    peer->Write(incoming);
    auto& log = HandlerLog::Get();
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() >= incoming.size(); }));
    EXPECT_EQ(log.Bytes(), incoming);
    for (const auto& d : log.Deliveries()) {
        EXPECT_EQ(d.msg, kTriggerAvail);
        EXPECT_EQ(static_cast<std::uint32_t>(d.lParam) >> 16, static_cast<std::uint32_t>(dispatcher->Handle()));
        EXPECT_EQ(d.lParam & 0xFFFF, 0);
    }
    EXPECT_EQ(dispatcher->InputUsed(), 0u);

    auto outgoing = Pattern(4000, 11);
    ASSERT_EQ(dispatcher->SendBlock(outgoing.data(), outgoing.size()), 0);
    EXPECT_EQ(peer->Read(outgoing.size(), 10s), outgoing);
    ASSERT_TRUE(log.WaitFor([&] { return dispatcher->OutputUsed() == 0; }));
    EXPECT_EQ(dispatcher->SendBlock(outgoing.data(), 4097), ecOutputBufferTooSmall);

    // The last delivery may still be ending: then the close completes with the dispatcher thread.
    dispatcher->ClosePort();
    EXPECT_TRUE(log.WaitFor([&] { return !dispatcher->ThreadsStarted(); }));
    EXPECT_EQ(dispatcher->ActiveThreads(), 0);
    EXPECT_EQ(dispatcher->DevicePath(), "");
}

TEST_F(PortTest, StreamLargerThanBothRingsArrivesInOrder) {
    ASSERT_EQ(Open(1024), 0);
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    const std::size_t size = 256 * 1024;
    auto incoming = Pattern(size);
    std::thread writer([&] { peer->Write(incoming); });
    auto outgoing = Pattern(size, 5);
    std::size_t sent = 0;
    std::vector<std::uint8_t> received;
    auto& log = HandlerLog::Get();
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((sent < size || received.size() < size) && std::chrono::steady_clock::now() < deadline) {
        if (sent < size) {
            std::uint32_t room = dispatcher->OutputFree();
            std::uint32_t chunk = std::min<std::size_t>(room, size - sent);
            if (chunk > 0) {
                ASSERT_EQ(dispatcher->SendBlock(outgoing.data() + sent, chunk), 0);
                sent += chunk;
            }
        }
        auto part = peer->Read(size - received.size(), 5ms);
        received.insert(received.end(), part.begin(), part.end());
    }
    writer.join();
    EXPECT_EQ(sent, size);
    EXPECT_TRUE(received == outgoing) << "received " << received.size() << " bytes";
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() >= size; }, 30s));
    EXPECT_TRUE(log.Bytes() == incoming);
}

TEST_F(PortTest, FullReceiveRingHoldsBackTheDeviceUntilSpaceFrees) {
    ASSERT_EQ(Open(), 0);
    // No handler reads: the bytes pile up in the ring.
    auto incoming = Pattern(kReceiveRingSize + 1000);
    std::thread writer([&] { peer->Write(incoming); });
    auto& log = HandlerLog::Get();
    ASSERT_TRUE(log.WaitFor([&] { return dispatcher->InputUsed() == kReceiveRingSize; }));
    EXPECT_EQ(dispatcher->InputFree(), 0u);
    EXPECT_TRUE(dispatcher->InputReady());
    EXPECT_EQ(dispatcher->PeekByte(kReceiveRingSize), incoming[kReceiveRingSize - 1]);
    EXPECT_EQ(dispatcher->PeekByte(kReceiveRingSize + 1), ecBufferIsEmpty);
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 500; ++i) got.push_back(static_cast<std::uint8_t>(dispatcher->ReadChar()));
    // Space freed: the rest comes in from the device.
    std::size_t index = 0;
    ASSERT_TRUE(log.WaitFor([&] {
        while (got.size() < incoming.size() && dispatcher->InputReady()) {
            got.push_back(static_cast<std::uint8_t>(dispatcher->ReadChar()));
            ++index;
        }
        return got.size() == incoming.size();
    }, 10s)) << got.size();
    writer.join();
    EXPECT_TRUE(got == incoming);
    EXPECT_EQ(dispatcher->ReadChar(), ecBufferIsEmpty);
}

TEST_F(PortTest, AvailabilityCountsAllUnreadBytesAndAdvancesByTheLargestTake) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    {
        std::lock_guard lock(log.mutex);
        log.takeLimit = 0;  // take nothing
    }
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    peer->Write("abcde");
    ASSERT_TRUE(log.WaitFor([&] {
        auto d = log.Deliveries();
        return !d.empty() && d.back().first == 5;
    }));
    EXPECT_EQ(dispatcher->InputUsed(), 5u);  // nothing taken, nothing lost
    {
        std::lock_guard lock(log.mutex);
        log.takeLimit = 3;
    }
    peer->Write("fg");
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() == 3; }));
    auto d = log.Deliveries();
    EXPECT_EQ(d.back().first, 7u);  // the earlier five and the new two
    EXPECT_EQ(log.Bytes(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(dispatcher->InputUsed(), 4u);
    EXPECT_EQ(dispatcher->ReadChar(), 'd');
}

TEST_F(PortTest, TimerAndOutputStatusTriggersFire) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    dispatcher->AttachTriggerHandler(RecordingHandler);
    int timer = dispatcher->CreateTimerTrigger();
    ASSERT_GT(timer, 0);
    ASSERT_EQ(dispatcher->ArmTimerTrigger(timer, 2, true), 0);
    ASSERT_TRUE(log.WaitFor([&] {
        for (const auto& d : log.Deliveries())
            if (d.msg == kTriggerTimer && d.first == static_cast<std::uint32_t>(timer)) return true;
        return false;
    }));
    std::int32_t left = -1;
    EXPECT_EQ(dispatcher->TimerTicksLeft(timer, left), 0);
    EXPECT_EQ(left, 0);

    int used = dispatcher->CreateStatusTrigger(stOutBuffUsed);
    int sent = dispatcher->CreateStatusTrigger(stOutSent);
    ASSERT_EQ(used & 7, static_cast<int>(stOutBuffUsed));
    ASSERT_EQ(dispatcher->ArmStatusTrigger(used, 0, true), 0);
    ASSERT_EQ(dispatcher->ArmStatusTrigger(sent, 0, true), 0);
    auto block = Pattern(2000);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    EXPECT_EQ(peer->Read(block.size(), 10s), block);
    auto fired = [&](int handle) {
        for (const auto& d : log.Deliveries())
            if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(handle)) return true;
        return false;
    };
    ASSERT_TRUE(log.WaitFor([&] { return fired(used) && fired(sent); }));
    for (const auto& d : log.Deliveries()) {
        if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(used)) {
            EXPECT_EQ(d.lParam & 0xFFFF, 0);  // the count: nothing left in the ring
        }
    }
}

TEST_F(PortTest, CloseFromInsideADeliveryCompletesWhenTheDispatcherThreadEnds) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    std::atomic<int> closes{0};
    {
        std::lock_guard lock(log.mutex);
        log.extra = [&](const Delivery&) {
            if (closes++ == 0) log.dispatcher->ClosePort();
        };
    }
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    peer->Write("x");
    ASSERT_TRUE(log.WaitFor([&] { return closes.load() > 0; }));
    ASSERT_TRUE(log.WaitFor([&] { return !dispatcher->ThreadsStarted(); }));
    EXPECT_EQ(dispatcher->ActiveThreads(), 0);
    EXPECT_TRUE(dispatcher->ClosePending());
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(dispatcher->DevicePath(), "");  // the device was released
    dispatcher.reset();  // destruction after a pending close
    // The port can be opened again by a new dispatcher.
    dispatcher = std::make_unique<TNativeDispatcher>(nullptr);
    EXPECT_EQ(Open(), 0);
}

TEST_F(PortTest, FlushWhileAWriteIsStuckEmptiesTheRing) {
    ASSERT_EQ(Open(65536), 0);
    // Nobody reads the far end: the pty fills and the output thread waits for room.
    auto block = Pattern(65536);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    // Wait until the device has taken what it can and the rest is stuck in the ring (all of it
    // on Windows, where the ring keeps a run until its one write completes).
    ASSERT_TRUE(OutputStuck(*dispatcher));
    EXPECT_EQ(dispatcher->FlushOutput(), 0);
    EXPECT_EQ(dispatcher->OutputUsed(), 0u);
    EXPECT_EQ(dispatcher->OutputFree(), 65536u);
    // The port still works after the flush.
    peer->ReadUntilQuiet(50ms, 5s);
    ASSERT_EQ(dispatcher->SendBlock("ok", 2), 0);
    EXPECT_EQ(peer->Read(2, 10s), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST_F(PortTest, CloseLetsTheQueuedOutputLeaveFirst) {
    ASSERT_EQ(Open(65536), 0);
    // Nobody reads the far end yet: the pty fills and the rest waits in the ring.
    auto block = Pattern(40000);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    ASSERT_TRUE(OutputStuck(*dispatcher));
    // The far end starts to read once the close has begun: every byte still arrives.
    std::vector<std::uint8_t> got;
    std::thread reader([&] {
        std::this_thread::sleep_for(50ms);
        got = peer->Read(block.size(), 10s);
    });
    dispatcher->ClosePort();
    reader.join();
    EXPECT_EQ(got.size(), block.size()) << dispatcher->OutputUsed() << " bytes still in the ring";
    EXPECT_TRUE(got == block);
}

}  // namespace
}  // namespace kavo::test
