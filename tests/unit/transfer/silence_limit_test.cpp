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
