#include "serial/byte_rings.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace kavo {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::vector<std::uint8_t> Take(TOutputRing& ring) {
    auto run = ring.NextRun();
    std::vector<std::uint8_t> taken(run.begin(), run.end());
    ring.Consume(static_cast<std::uint32_t>(run.size()));
    return taken;
}

TEST(OutputRingTest, WrappedBytesLeaveInOneRunInTheirOrder) {
    TOutputRing ring;
    ring.Allocate(100);
    // 10 bytes pending at 50..59 and the head at 60.
    const auto skipped = Bytes(50, 200);
    ring.Queue(skipped.data(), 50);
    ring.Consume(50);
    const auto pending = Bytes(10, 0);
    ring.Queue(pending.data(), 10);
    // 60 more wrap: 40 at the end, 20 at the start.
    const auto more = Bytes(60, 10);
    ring.Queue(more.data(), 60);
    EXPECT_EQ(ring.Used(), 70u);
    EXPECT_EQ(ring.Free(), 30u);

    EXPECT_EQ(Take(ring), Bytes(70, 0));
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(ring.Free(), 100u);
}

TEST(OutputRingTest, FullRingIsNotEmptyAndPartialWritesKeepTheRest) {
    TOutputRing ring;
    ring.Allocate(8);
    const auto bytes = Bytes(8, 1);
    ring.Queue(bytes.data(), 3);
    ring.Consume(3);  // positions at 3
    ring.Queue(bytes.data(), 8);
    EXPECT_FALSE(ring.Empty());
    EXPECT_EQ(ring.Used(), 8u);
    EXPECT_EQ(ring.Free(), 0u);

    auto run = ring.NextRun();
    ASSERT_EQ(run.size(), 8u);
    ring.Consume(5);  // the device took five
    EXPECT_EQ(ring.Used(), 3u);
    EXPECT_EQ(Take(ring), std::vector<std::uint8_t>({6, 7, 8}));
    EXPECT_TRUE(ring.NextRun().empty());
}

TEST(OutputRingTest, ClearDropsEverythingAndTellsWritersByTheGeneration) {
    TOutputRing ring;
    ring.Allocate(16);
    const auto bytes = Bytes(10, 0);
    ring.Queue(bytes.data(), 10);
    const auto generation = ring.Generation();
    ring.Clear();
    EXPECT_TRUE(ring.Empty());
    EXPECT_NE(ring.Generation(), generation);
    ring.Release();
    EXPECT_FALSE(ring.Allocated());
    ring.Queue(bytes.data(), 10);  // nothing to hold it
    EXPECT_TRUE(ring.NextRun().empty());
}

TEST(ReceiveRingTest, FillsThroughTwoRunsAndReadsBackInOrder) {
    TReceiveRing ring;
    ring.Allocate(10);
    auto run = ring.FreeRun();
    ASSERT_EQ(run.size(), 10u);
    for (std::uint8_t i = 0; i < 7; ++i) run[i] = i;
    ring.Commit(7);
    EXPECT_FALSE(ring.Consume(5));
    // Free space: 3 at the end, then 5 at the start.
    run = ring.FreeRun();
    ASSERT_EQ(run.size(), 3u);
    for (std::uint8_t i = 0; i < 3; ++i) run[i] = 7 + i;
    ring.Commit(3);
    EXPECT_EQ(ring.Head(), 0u);
    run = ring.FreeRun();
    ASSERT_EQ(run.size(), 5u);
    for (std::uint8_t i = 0; i < 5; ++i) run[i] = 10 + i;
    ring.Commit(5);

    EXPECT_TRUE(ring.Full());
    EXPECT_TRUE(ring.FreeRun().empty());
    EXPECT_EQ(ring.Used(), 10u);
    for (std::uint32_t n = 1; n <= 10; ++n) EXPECT_EQ(ring.Peek(n), static_cast<int>(4 + n)) << n;
    EXPECT_EQ(ring.Peek(11), -1);
    EXPECT_EQ(ring.Peek(0), -1);
    EXPECT_TRUE(ring.Consume(1));  // was full
    EXPECT_EQ(ring.Free(), 1u);
}

TEST(ReceiveRingTest, ClearDropsTheUnreadAndSaysWhetherItWasFull) {
    TReceiveRing ring;
    ring.Allocate(4);
    ring.Commit(4);
    EXPECT_TRUE(ring.Clear());
    EXPECT_EQ(ring.Used(), 0u);
    EXPECT_FALSE(ring.Clear());
    ring.Release();
    EXPECT_FALSE(ring.Allocated());
    EXPECT_TRUE(ring.FreeRun().empty());
}

}  // namespace
}  // namespace kavo
