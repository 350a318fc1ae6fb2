// The times a transfer shows: the line's data rate before a block is acknowledged, the measured
// rate after.
#include <gtest/gtest.h>

#include "transfer/status_figures.h"

namespace kavo {
namespace {

TEST(TransferTimes, LineDataRateCountsTheBlocksProtocolBytesButNoTurnaround) {
    // 115200 baud, 1024-byte blocks with 5 protocol bytes each.
    EXPECT_EQ(LineDataRate(11520, 1024, 5), 11464);
    EXPECT_EQ(LineDataRate(11520, 128, 5), 11086);
    // The demo's 300000-byte file: 27 s, where the per-block turn delay made it 326 s.
    EXPECT_EQ(RemainingSecs(300000, 0, LineDataRate(11520, 1024, 5)), 27);
    for (const auto& unknown : {LineDataRate(0, 1024, 5), LineDataRate(11520, 0, 5), LineDataRate(11520, 1024, -1)}) {
        EXPECT_EQ(unknown, 0);
    }
}

TEST(TransferTimes, TheMeasuredRateTakesOverOnceBytesAreAcknowledged) {
    // 1675 ticks are 92 s.
    EXPECT_EQ(MeasuredRate(1059840, 1675), 11520);
    EXPECT_EQ(MeasuredRate(0, 1675), 0);     // nothing acknowledged yet
    EXPECT_EQ(MeasuredRate(1024, 0), 0);     // the clock has not ticked
    EXPECT_EQ(MeasuredRate(-1024, 1675), 0);
    // A slow receiver: 2000 B/s measured wins over the line's 11464.
    EXPECT_EQ(RemainingSecs(20000, 2000, 11464), 10);
    EXPECT_EQ(RemainingSecs(20001, 2000, 11464), 11);  // a started second counts
    EXPECT_EQ(RemainingSecs(20000, 0, 11464), 2);
    EXPECT_EQ(RemainingSecs(0, 2000, 11464), 0);
    EXPECT_EQ(RemainingSecs(-5, 2000, 11464), 0);  // the last block's padding
    EXPECT_EQ(RemainingSecs(20000, 0, 0), 0);      // nothing to go by
}

}  // namespace
}  // namespace kavo
