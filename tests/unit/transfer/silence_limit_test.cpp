// The silence limit of unattended runs: consecutive block or EOT reply waits without a byte end
// the transfer with a time-out once they add up to the limit.
#include <gtest/gtest.h>

#include "engine_harness.h"
#include "transfer/protocol.h"

namespace kavo::test {
namespace {

const std::vector<std::uint8_t> cancelSequence = {0x18, 0x18, 0x18, 0x08, 0x08, 0x08};

bool EndsWithCancel(const std::vector<std::uint8_t>& sent) {
    return sent.size() >= cancelSequence.size() &&
           std::equal(cancelSequence.begin(), cancelSequence.end(), sent.end() - 6);
}

class SilenceLimit : public ::testing::Test {
protected:
    // Starts a transfer of `size` bytes; the receiver has asked for CRC and the first block is
    // out and drained, so the engine waits for its reply (91 ticks).
    void StartAndSendFirstBlock(std::size_t size) {
        h.Start(folder.Write("firmware.bin", PatternBytes(size)));
        h.Reply({cCrcStart});
        h.Drained();
        ASSERT_EQ(h.data->XmodemState, txRplyPnding);
        h.TakeSent();
    }
    // A reply wait passes in silence; when the block went again, its drain follows.
    void SilentBlockWait() {
        h.TimedOut();
        if (h.data->XmodemState == txDraining) h.Drained();
    }
    TempFolder folder;
    EngineHarness h;
};

TEST_F(SilenceLimit, WithoutALimitTheBlockGoesAgainIndefinitely) {
    EXPECT_EQ(h.data->SilenceLimit, 0u);
    StartAndSendFirstBlock(2000);
    for (int i = 0; i < 200; ++i) SilentBlockWait();
    EXPECT_FALSE(h.reports.finish.has_value());
    EXPECT_EQ(h.data->XmodemState, txRplyPnding);
    const auto frames = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(frames.size(), 200u);
    EXPECT_EQ(frames.back().number, 1);
    EXPECT_TRUE(h.reports.errors.empty());
}

TEST_F(SilenceLimit, SilentBlockRepliesEndWithTimeoutAndTheCancelSequence) {
    h.data->SilenceLimit = 3 * 91;
    StartAndSendFirstBlock(2000);
    SilentBlockWait();
    SilentBlockWait();
    EXPECT_FALSE(h.reports.finish.has_value());
    EXPECT_EQ(SplitFrames(h.TakeSent(), true).size(), 2u);  // the block went twice more
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6006}));
    EXPECT_EQ(h.line.sent, cancelSequence);  // no third copy of the block, only the cancel
    EXPECT_EQ(h.data->InProgress, 0);
    EXPECT_FALSE(h.data->Started);
}

TEST_F(SilenceLimit, AnyReceivedByteStartsTheCountAgain) {
    h.data->SilenceLimit = 3 * 91;
    StartAndSendFirstBlock(3000);
    SilentBlockWait();
    SilentBlockWait();
    h.Reply({cNak});  // a NAK is a reply: the block goes again, the silence count restarts
    h.Drained();
    SilentBlockWait();
    SilentBlockWait();
    EXPECT_FALSE(h.reports.finish.has_value());
    h.Reply({'?'});  // even a garbage byte
    h.Drained();
    SilentBlockWait();
    SilentBlockWait();
    h.Reply({cAck});  // block 1 delivered; block 2 waits from zero
    h.Drained();
    SilentBlockWait();
    SilentBlockWait();
    EXPECT_FALSE(h.reports.finish.has_value());
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_EQ(h.data->TransferredBytes, 1024);
}

TEST_F(SilenceLimit, SilenceAtTheEotEndsWithTimeout) {
    // The first EOT waits TransmitTimeout (1092), the next ones 91 ticks each.
    h.data->SilenceLimit = 1092 + 2 * 91;
    StartAndSendFirstBlock(100);
    h.Reply({cAck});
    ASSERT_EQ(h.data->XmodemState, txEotReply);
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot}));
    h.TimedOut();
    h.TimedOut();
    EXPECT_FALSE(h.reports.finish.has_value());
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot, cEot}));
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6006}));
    EXPECT_TRUE(EndsWithCancel(h.line.sent));
}

TEST_F(SilenceLimit, ANakToTheEotRestartsTheCount) {
    h.data->SilenceLimit = 1092;
    StartAndSendFirstBlock(100);
    h.Reply({cAck});
    h.Reply({cNak});  // EOT again, waited for 91 ticks
    for (int i = 0; i < 11; ++i) h.TimedOut();  // 1001 ticks
    EXPECT_FALSE(h.reports.finish.has_value());
    h.TimedOut();  // 1092
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
}

TEST_F(SilenceLimit, HandshakeWaitsAreNotCounted) {
    // The handshake has its own limit (HandshakeRetry); the silence limit is for replies.
    h.data->SilenceLimit = 1;
    h.data->HandshakeRetry = 5;
    h.Start(folder.Write("firmware.bin", PatternBytes(10)));
    for (int i = 0; i < 4; ++i) h.TimedOut();
    EXPECT_FALSE(h.reports.finish.has_value());
    h.Reply({cCrcStart});
    h.Drained();
    EXPECT_FALSE(h.reports.finish.has_value());
    h.TimedOut();  // the first silent block reply reaches the limit of one tick
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
}

// The length of the reply wait armed now.
std::int32_t Armed(EngineHarness& h) { return h.line.timerArmedTicks[h.data->TimeoutTimer]; }

// Lets reply waits pass in silence until the transfer ends (at most `most` of them); returns the
// ticks they were armed for together.
std::int64_t SilentUntilTheEnd(EngineHarness& h, int most) {
    std::int64_t total = 0;
    for (int i = 0; i < most && !h.reports.finish.has_value(); ++i) {
        if (h.data->XmodemState == txDraining) h.Drained();
        total += Armed(h);
        h.TimedOut();
    }
    return total;
}

using SilenceLimitWaits = SilenceLimit;

TEST(SilenceLimitWaitsEach, NoBlockReplyWaitRunsPastTheLimit) {
    TempFolder folder;
    const std::string file = folder.Write("firmware.bin", PatternBytes(3000));
    for (std::uint32_t limit : {1u, 36u, 91u, 100u, 3u * 91u + 5u}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        EngineHarness h;
        h.data->SilenceLimit = limit;
        h.Start(file);
        h.Reply({cCrcStart});
        h.Drained();
        ASSERT_EQ(h.data->XmodemState, txRplyPnding);
        EXPECT_EQ(Armed(h), static_cast<std::int32_t>(std::min<std::uint32_t>(limit, 91)));
        EXPECT_EQ(SilentUntilTheEnd(h, 20), static_cast<std::int64_t>(limit));
        ASSERT_TRUE(h.reports.finish.has_value());
        EXPECT_EQ(*h.reports.finish, -6006);
    }
}

TEST_F(SilenceLimitWaits, TheRestOfTheLimitCountsFromTheLastByte) {
    h.data->SilenceLimit = 150;
    StartAndSendFirstBlock(3000);
    h.TimedOut();  // 91 ticks of silence; the block goes again with 59 left
    h.Drained();
    EXPECT_EQ(Armed(h), 59);
    h.Reply({cNak});  // a reply: the whole limit is there again, but no wait is longer than 91
    h.Drained();
    EXPECT_EQ(Armed(h), 91);
    EXPECT_EQ(SilentUntilTheEnd(h, 20), 150);
    EXPECT_EQ(*h.reports.finish, -6006);
}

TEST_F(SilenceLimitWaits, NoEotReplyWaitRunsPastTheLimit) {
    // The first EOT waits 1092 ticks without a limit; a limit of 200 shortens it.
    h.data->SilenceLimit = 200;
    StartAndSendFirstBlock(100);
    h.Reply({cAck});
    ASSERT_EQ(h.data->XmodemState, txEotReply);
    EXPECT_EQ(Armed(h), 200);
    EXPECT_EQ(SilentUntilTheEnd(h, 20), 200);
    EXPECT_EQ(*h.reports.finish, -6006);

    // A NAK to the EOT gives the whole limit again; the waits of the EOTs that follow add up
    // to it exactly.
    EngineHarness second;
    second.data->SilenceLimit = 120;
    second.Start(folder.Write("small.bin", PatternBytes(100)));
    second.Reply({cCrcStart});
    second.Drained();
    second.Reply({cAck});
    EXPECT_EQ(Armed(second), 120);
    second.Reply({cNak});
    ASSERT_FALSE(second.reports.finish.has_value());
    EXPECT_EQ(Armed(second), 91);
    EXPECT_EQ(SilentUntilTheEnd(second, 20), 120);
    ASSERT_TRUE(second.reports.finish.has_value());
    EXPECT_EQ(*second.reports.finish, -6006);
}

TEST_F(SilenceLimitWaits, WithoutALimitTheWaitsKeepTheirLength) {
    StartAndSendFirstBlock(100);
    EXPECT_EQ(Armed(h), 91);
    h.TimedOut();
    h.Drained();
    EXPECT_EQ(Armed(h), 91);
    h.Reply({cAck});
    EXPECT_EQ(Armed(h), 1092);  // the first EOT
    h.TimedOut();
    EXPECT_EQ(Armed(h), 91);  // the EOTs after it
    EXPECT_FALSE(h.reports.finish.has_value());
}

TEST(ProtocolSilenceLimit, IsOffByDefaultSetAndCopiedByAssign) {
    TApdProtocol source;
    EXPECT_EQ(source.SilenceLimit(), 0u);
    source.SetSilenceLimit(1092);
    EXPECT_EQ(source.SilenceLimit(), 1092u);
    EXPECT_EQ(source.Data().SilenceLimit, 1092u);
    TApdProtocol copy;
    copy.Assign(source);
    EXPECT_EQ(copy.SilenceLimit(), 1092u);
}

}  // namespace
}  // namespace kavo::test
