#include <gtest/gtest.h>

#include <algorithm>

#include "engine_harness.h"
#include "serial/error_codes.h"
#include "serial/ticks.h"

namespace kavo::test {
namespace {

const std::vector<std::uint8_t> cancelSequence = {0x18, 0x18, 0x18, 0x08, 0x08, 0x08};

class XmodemTransmitter : public ::testing::Test {
protected:
    void StartWith(const std::vector<std::uint8_t>& content) {
        file = content;
        h.Start(folder.Write("firmware.bin", content));
    }
    // Data of the blocks the receiver accepted, in order (a well-behaved receiver).
    std::vector<std::uint8_t> Accepted(const std::vector<Frame>& frames) {
        std::vector<std::uint8_t> out;
        for (const auto& f : frames) out.insert(out.end(), f.payload.begin(), f.payload.end());
        return out;
    }
    // Acknowledges every block until the EOT, collecting the frames.
    std::vector<Frame> AckAll(bool crc = true) {
        std::vector<Frame> frames;
        for (int guard = 0; guard < 10000; ++guard) {
            auto sent = SplitFrames(h.TakeSent(), crc);
            if (sent.empty()) break;
            bool eot = false;
            for (auto& f : sent) {
                if (f.kind == cEot) eot = true;
                if (f.kind == cSoh || f.kind == cStx) frames.push_back(f);
            }
            if (eot) break;
            h.Answer(cAck);
        }
        return frames;
    }
    TempFolder folder;
    EngineHarness h;
    std::vector<std::uint8_t> file;
};

TEST_F(XmodemTransmitter, SendsAFileIn1KBlocksAfterC) {
    StartWith(PatternBytes(1100));
    EXPECT_TRUE(h.line.sent.empty());  // nothing before the receiver's start character
    EXPECT_EQ(h.data->XmodemState, txHandshake);
    EXPECT_EQ(h.line.inputFlushes, 1u);
    h.Reply({cCrcStart});

    const auto frames = AckAll();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, cStx);
    EXPECT_EQ(frames[0].number, 1);
    EXPECT_EQ(frames[0].complement, 0xFE);
    EXPECT_EQ(frames[1].number, 2);
    EXPECT_EQ(frames[1].complement, 0xFD);
    for (const auto& f : frames) {
        const std::uint16_t crc = BlockCrc16(f.payload.data(), f.payload.size());
        EXPECT_EQ(f.check, (std::vector<std::uint8_t>{static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)}));
    }
    auto data = Accepted(frames);
    EXPECT_TRUE(std::all_of(data.begin() + 1100, data.end(), [](std::uint8_t b) { return b == 0x1A; }));
    data.resize(1100);
    EXPECT_EQ(data, file);

    EXPECT_FALSE(h.reports.finish.has_value());
    EXPECT_TRUE(h.Reply({cAck}));  // the EOT's ACK ends it
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, 0);
    EXPECT_EQ(h.data->TransferredBytes, 2048);
    EXPECT_EQ(BytesRemaining(*h.data), 0);
    EXPECT_EQ(h.reports.statusOptions.front(), 1u);
    EXPECT_EQ(h.reports.statusOptions.back(), 2u);
    EXPECT_EQ(h.reports.logCodes, (std::vector<std::uint32_t>{4, 5}));
    EXPECT_TRUE(h.reports.errors.empty());
    EXPECT_FALSE(h.data->Started);
    EXPECT_TRUE(h.line.triggers.empty());  // every trigger deleted
    EXPECT_TRUE(h.line.handlers.empty());
    EXPECT_TRUE(h.Step(kTriggerAvail, 1));  // later calls: already done
}

// The report goes to the user-interface thread and waits for it: between a reply and the block
// it lets go it would hold up every block whose reply meets a due report.
TEST_F(XmodemTransmitter, AStatusReportDueAtAReplyComesAfterTheNextBlock) {
    StartWith(PatternBytes(3000));
    h.Reply({cCrcStart});
    h.TakeSent();
    h.line.timerTicksLeft[h.data->StatusTimer] = 3;
    h.Drained();
    const std::size_t reports = h.reports.sentAtStatus.size();
    h.line.timerTicksLeft[h.data->StatusTimer] = 0;
    h.Reply({cAck});
    ASSERT_EQ(h.reports.sentAtStatus.size(), reports + 1);
    EXPECT_EQ(h.reports.sentAtStatus.back(), 1029u);  // block 2 had gone out
    EXPECT_EQ(h.data->XmodemState, txDraining);
}

TEST_F(XmodemTransmitter, TheBlockReplyTimeoutStartsWhenTheRingHasDrained) {
    StartWith(PatternBytes(100));
    h.Reply({cCrcStart});
    EXPECT_EQ(h.data->XmodemState, txDraining);
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 1092);
    EXPECT_EQ(h.line.statusArmedValue[h.data->OutDrainTrigger], 0u);
    h.Drained();
    EXPECT_EQ(h.data->XmodemState, txRplyPnding);
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 91);
    h.TakeSent();
    h.TimedOut();  // silence: the same block again, not counted
    const auto frames = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].number, 1);
    EXPECT_EQ(h.data->TotalErrors, 0u);
}

TEST_F(XmodemTransmitter, EmptyFileSendsOnlyEot) {
    StartWith({});
    h.Reply({cCrcStart});
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot}));
    h.Reply({cAck});
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, 0);
}

TEST_F(XmodemTransmitter, NakHandshakeSends1KBlocksWithChecksum) {
    StartWith(PatternBytes(1500));
    h.Reply({cNak});
    EXPECT_EQ(h.data->ProtocolType, ptXmodem);
    EXPECT_EQ(h.data->BlockCheck, bcmChecksum);
    const auto frames = AckAll(false);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, cStx);
    std::uint8_t sum = 0;
    for (auto b : frames[0].payload) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(frames[0].check, (std::vector<std::uint8_t>{sum}));
    h.Reply({cAck});
    EXPECT_EQ(*h.reports.finish, 0);
}

TEST_F(XmodemTransmitter, SixNaksFallBackTo128ByteBlocksWithoutLosingData) {
    StartWith(PatternBytes(3000));
    h.Reply({cCrcStart});
    int sends1K = 0;
    for (int i = 0; i < 6; ++i) {
        auto frames = SplitFrames(h.TakeSent(), true);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, cStx);
        ++sends1K;
        h.Answer(cNak);
    }
    EXPECT_EQ(sends1K, 6);  // sent once, repeated five times
    auto frames = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, cSoh);
    EXPECT_EQ(frames[0].number, 1);
    // Acknowledge everything from here on.
    std::vector<Frame> all{frames[0]};
    h.Answer(cAck);
    const auto rest = AckAll();
    all.insert(all.end(), rest.begin(), rest.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].kind, cSoh);
        EXPECT_EQ(all[i].number, static_cast<std::uint8_t>(i + 1));
    }
    auto data = Accepted(all);
    ASSERT_GE(data.size(), file.size());
    data.resize(file.size());
    EXPECT_EQ(data, file);
    h.Reply({cAck});
    EXPECT_EQ(*h.reports.finish, 0);
}

TEST_F(XmodemTransmitter, FallBackOnTheLastBlockStillSendsAllOfIt) {
    StartWith(PatternBytes(300));  // one 1024-byte block holds the whole file
    h.Reply({cCrcStart});
    for (int i = 0; i < 6; ++i) {
        h.TakeSent();
        h.Answer(cNak);
    }
    std::vector<Frame> all = SplitFrames(h.TakeSent(), true);
    h.Answer(cAck);
    const auto rest = AckAll();
    all.insert(all.end(), rest.begin(), rest.end());
    ASSERT_EQ(all.size(), 3u);  // 300 bytes in 128-byte blocks
    auto data = Accepted(all);
    data.resize(300);
    EXPECT_EQ(data, file);
}

TEST_F(XmodemTransmitter, TooManyNaksOnA128ByteBlockCancel) {
    StartWith(PatternBytes(3000));
    h.Reply({cCrcStart});
    for (int i = 0; i < 6; ++i) h.Answer(cNak);  // fall back
    for (int i = 0; i < 5; ++i) h.Answer(cNak);
    EXPECT_FALSE(h.reports.finish.has_value());
    h.TakeSent();
    h.Answer(cNak);  // the sixth on the 128-byte block
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6008);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6008}));
    EXPECT_EQ(h.TakeSent(), cancelSequence);  // reaches the line, not flushed
    EXPECT_EQ(h.reports.logCodes.back(), 6u);
}

TEST_F(XmodemTransmitter, CanInTheHandshakeCancels) {
    StartWith(PatternBytes(10));
    h.Reply({cCan});
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6005);
    EXPECT_TRUE(h.line.sent.empty());
}

TEST_F(XmodemTransmitter, CanInReplyToABlockCancels) {
    StartWith(PatternBytes(2000));
    h.Reply({cCrcStart});
    const auto before = h.line.outputFlushes;
    h.Answer(cCan);
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6005);
    EXPECT_GT(h.line.outputFlushes, before);
    EXPECT_TRUE(h.reports.errors.empty());
}

TEST_F(XmodemTransmitter, CanInReplyToEotCancels) {
    StartWith(PatternBytes(10));
    h.Reply({cCrcStart});
    h.Answer(cAck);
    EXPECT_EQ(h.data->XmodemState, txEotReply);
    h.Reply({cCan});
    EXPECT_EQ(*h.reports.finish, -6005);
}

TEST_F(XmodemTransmitter, CancelMessageSendsTheCancelSequenceInAnyState) {
    StartWith(PatternBytes(5000));
    h.Reply({cCrcStart});
    h.TakeSent();
    EXPECT_TRUE(h.Step(ProtocolCancelMsg, 0));
    EXPECT_EQ(h.TakeSent(), cancelSequence);
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6005);
    EXPECT_EQ(h.data->InProgress, 0);
    EXPECT_EQ(h.reports.statusOptions.back(), 2u);
}

TEST_F(XmodemTransmitter, SilentReceiverTimesOutAfterTheHandshakeWaits) {
    h.data->HandshakeRetry = 10;
    StartWith(PatternBytes(10));
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 1092);
    for (int i = 0; i < 9; ++i) {
        h.TimedOut();
        ASSERT_FALSE(h.reports.finish.has_value()) << "after wait " << i + 1;
    }
    EXPECT_EQ(h.data->TotalErrors, 9u);
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6006}));
    EXPECT_TRUE(h.line.sent.empty());
}

// A loader that prints before it asks for the file: the handshake on the tick clock of the test,
// with the quiet the program waits for after a start character.
class HandshakeText : public XmodemTransmitter {
protected:
    void SetUp() override {
        now = 1000000;
        SetClockSource([] { return now; });
        h.data->StartQuietTicks = 3;
    }
    void TearDown() override { SetClockSource(nullptr); }
    void Text(const std::string& text) {
        h.line.input.insert(h.line.input.end(), text.begin(), text.end());
        h.Step(kTriggerAvail, static_cast<std::uint32_t>(text.size()));
    }
    std::int32_t& ArmedWait() { return h.line.timerArmedTicks[h.data->TimeoutTimer]; }
    static inline std::uint32_t now = 0;
};

TEST_F(HandshakeText, TextUsesNoAttemptCountsNoErrorAndLeavesTheWaitAlone) {
    h.data->HandshakeRetry = 2;
    StartWith(PatternBytes(3000));
    ArmedWait() = -1;  // no wait is armed again while the text comes
    Text("## Ready for binary (xmodem) download at 115200 bps...\r\n");
    Text("\x01\x02\x06\xff");
    EXPECT_EQ(h.data->XmodemState, txHandshake);
    EXPECT_EQ(h.data->HandshakeAttempt, 1u);
    EXPECT_EQ(h.data->BlockErrors, 0u);
    EXPECT_EQ(h.data->TotalErrors, 0u);
    EXPECT_EQ(h.data->Status, psProtocolHandshake);
    EXPECT_EQ(ArmedWait(), -1);
    EXPECT_TRUE(h.line.sent.empty());
    EXPECT_TRUE(h.reports.errors.empty());
    // The waits still run out: text in every wait ends the handshake after the second.
    h.TimedOut();
    Text("still talking\r\n");
    EXPECT_EQ(h.data->HandshakeAttempt, 2u);
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_TRUE(h.line.sent.empty());
}

TEST_F(HandshakeText, AStartCharacterCountsOnlyWhenTheLineStaysQuietAfterIt) {
    StartWith(PatternBytes(3000));
    now += 10000;  // 10 s into the 60 s wait
    // A 'C' inside the text is followed by more of it: no start, and the wait goes on to its end.
    Text("Loader 2.1 (C) Kavo\r\n");
    EXPECT_EQ(h.data->XmodemState, txHandshake);
    EXPECT_EQ(ArmedWait(), (1092 * 55 - 10000 + 54) / 55);
    // A 'C' alone waits for the quiet; more text after it takes it back.
    Text("C");
    EXPECT_EQ(ArmedWait(), 3);
    now += 100;
    Text("\r\n");
    EXPECT_EQ(ArmedWait(), (1092 * 55 - 10100 + 54) / 55);
    h.TimedOut();  // that wait ran out: the next attempt, no start
    EXPECT_EQ(h.data->HandshakeAttempt, 2u);
    EXPECT_TRUE(h.line.sent.empty());
    // The prompt and its 'C' in one piece, then quiet: the transfer starts with CRC-16.
    Text("Ready for the file\r\nC");
    EXPECT_TRUE(h.line.sent.empty());
    h.TimedOut();
    const auto frames = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, cStx);
    EXPECT_EQ(frames[0].number, 1);
    EXPECT_EQ(h.data->BlockCheck, bcmCrc16);
    EXPECT_EQ(h.data->TotalErrors, 0u);
}

TEST_F(XmodemTransmitter, StartCharactersRepeatedBeforeTheFirstAnswerAreNoErrors) {
    StartWith(PatternBytes(3000));
    h.Reply({cCrcStart});
    h.Drained();
    h.TakeSent();
    // The receiver's next 'C' crossed the block: no error, no second copy.
    h.Reply({cCrcStart, cCrcStart});
    EXPECT_EQ(h.data->XmodemState, txRplyPnding);
    EXPECT_EQ(h.data->TotalErrors, 0u);
    EXPECT_TRUE(h.line.sent.empty());
    h.Reply({cAck});
    ASSERT_EQ(SplitFrames(h.TakeSent(), true).size(), 1u);  // block 2
    // Once a block is answered, a 'C' is a wrong reply again.
    h.Answer(cCrcStart);
    EXPECT_EQ(h.data->TotalErrors, 1u);
    const auto again = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].number, 2);
}

TEST_F(XmodemTransmitter, RepeatedStartCharactersAreNoAnswerToTheSilenceLimit) {
    h.data->SilenceLimit = 2 * 91;
    StartWith(PatternBytes(3000));
    h.Reply({cCrcStart});
    h.Drained();
    h.TimedOut();  // the first block goes again
    h.Drained();
    h.Reply({cCrcStart});  // a receiver that only ever asks never answers
    EXPECT_FALSE(h.reports.finish.has_value());
    h.TimedOut();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6006);
}

TEST_F(XmodemTransmitter, EotIsRepeatedAfterANakAndThreeNaksGiveUp) {
    StartWith(PatternBytes(10));
    h.Reply({cCrcStart});
    h.Answer(cAck);
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 1092);
    h.TakeSent();
    h.Reply({cNak});
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot}));
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 91);
    h.TimedOut();  // silence: EOT again, no error
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot}));
    h.Reply({cNak});
    h.TakeSent();
    EXPECT_FALSE(h.reports.finish.has_value());
    h.Reply({cNak});
    EXPECT_EQ(h.TakeSent(), cancelSequence);
    EXPECT_EQ(*h.reports.finish, -6008);
}

TEST_F(XmodemTransmitter, NakThenAckOnEotSucceeds) {
    StartWith(PatternBytes(10));
    h.Reply({cCrcStart});
    h.Answer(cAck);
    h.Reply({cNak});
    h.Reply({cAck});
    EXPECT_EQ(*h.reports.finish, 0);
}

TEST_F(XmodemTransmitter, WaitsForRoomInTheOutputRing) {
    h.line.outSize = 4096;
    h.line.outUsed = 4000;
    StartWith(PatternBytes(2000));
    h.Reply({cCrcStart});
    EXPECT_EQ(h.data->XmodemState, txWtFreeSpc);
    EXPECT_TRUE(h.line.sent.empty());
    EXPECT_EQ(h.line.statusArmedValue[h.data->OutFreeTrigger], 1029u);
    EXPECT_EQ(h.line.timerArmedTicks[h.data->TimeoutTimer], 1092);
    h.line.outUsed = 0;
    h.OutputFreed();
    EXPECT_EQ(SplitFrames(h.TakeSent(), true).size(), 1u);
}

TEST_F(XmodemTransmitter, NoRoomInTheOutputRingInTimeIsFatal) {
    h.line.outUsed = h.line.outSize;
    StartWith(PatternBytes(2000));
    h.Reply({cCrcStart});
    h.TimedOut();
    EXPECT_EQ(*h.reports.finish, -6006);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6006}));
}

TEST_F(XmodemTransmitter, GModeStreamsBlocksWithoutWaiting) {
    StartWith(PatternBytes(5000));
    h.Reply({cGStart});
    EXPECT_EQ(h.data->ProtocolType, ptXmodem1KG);
    auto frames = SplitFrames(h.TakeSent(), true);
    ASSERT_EQ(frames.size(), 5u);  // all blocks in one step
    EXPECT_EQ(h.data->XmodemState, txEndDrain);
    h.Drained();
    EXPECT_EQ(h.TakeSent(), (std::vector<std::uint8_t>{cEot}));
    h.Reply({cAck});
    EXPECT_EQ(*h.reports.finish, 0);
    auto data = Accepted(frames);
    data.resize(file.size());
    EXPECT_EQ(data, file);
}

TEST_F(XmodemTransmitter, GModeCanWhileWaitingForRoomCancels) {
    h.line.outSize = 3000;
    StartWith(PatternBytes(5000));
    h.line.outUsed = 0;
    h.Reply({cGStart});
    // The fake ring does not fill by itself: make it full to reach the wait.
    h.line.outUsed = 3000;
    h.data->XmodemState = txGetBlock;
    h.Step(kTriggerTimer, 0);
    EXPECT_EQ(h.data->XmodemState, txWtFreeSpc);
    h.Reply({'x', cCan});
    EXPECT_EQ(*h.reports.finish, -6005);
}

bool FailingRead(ProtocolData& data, std::uint8_t*, std::uint32_t& size) {
    if (data.FileOffset == 0) {
        size = 1024;
        return false;
    }
    ReportError(data, -100);
    size = 0;
    return true;
}

TEST_F(XmodemTransmitter, ReadErrorMidTransferEndsWithThatError) {
    StartWith(PatternBytes(5000));
    h.data->ReadBlockProc = FailingRead;
    h.Reply({cCrcStart});
    h.TakeSent();
    h.Answer(cAck);
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -100);
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-100}));
    EXPECT_EQ(h.TakeSent(), cancelSequence);  // the receiver hears of it
}

TEST_F(XmodemTransmitter, AVanishedDeviceEndsTheTransfer) {
    StartWith(PatternBytes(5000));
    h.Reply({cCrcStart});
    h.line.gone = true;
    EXPECT_TRUE(h.Step(kTriggerTimer, static_cast<std::uint32_t>(h.data->StatusTimer)));
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6014);
    EXPECT_EQ(h.data->InProgress, 0);
}

TEST_F(XmodemTransmitter, CarrierLossAbortsWhenAsked) {
    h.data->Options = OptAbortNoCarrier;
    StartWith(PatternBytes(5000));
    EXPECT_EQ(h.line.statusArmedValue[h.data->CarrierTrigger], 0x80u);
    h.Reply({cCrcStart});
    h.line.carrier = false;
    h.Step(kTriggerStatus, static_cast<std::uint32_t>(h.data->CarrierTrigger));
    EXPECT_EQ(*h.reports.finish, -6014);
}

TEST_F(XmodemTransmitter, NoCarrierAtStartWithAbortNoCarrier) {
    h.data->Options = OptAbortNoCarrier;
    h.line.carrier = false;
    StartWith(PatternBytes(10));
    EXPECT_EQ(*h.reports.finish, -6014);
    EXPECT_TRUE(h.line.handlers.empty());
}

TEST_F(XmodemTransmitter, MissingFileReportsAndFinishesWithMinus2) {
    h.Start(folder.Path() + "/absent.bin");
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-2}));
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -2);
    EXPECT_EQ(h.reports.statusOptions, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(h.line.triggers.empty());
}

TEST_F(XmodemTransmitter, ClosedPortFinishesWithMinus103) {
    h.line.open = false;
    StartWith(PatternBytes(10));
    EXPECT_EQ(*h.reports.finish, -103);
    EXPECT_TRUE(h.reports.errors.empty());
}

TEST_F(XmodemTransmitter, ASecondStartWhileRunningIsRefused) {
    StartWith(PatternBytes(3000));
    const auto triggers = h.line.triggers;
    const auto handlers = h.line.handlers.size();
    StartProtocol(*h.data, ptXmodem1K, TransmitStep, PrepareTransmit);
    EXPECT_EQ(h.line.triggers, triggers);
    EXPECT_EQ(h.line.handlers.size(), handlers);
    EXPECT_EQ(h.data->XmodemState, txHandshake);
}

TEST_F(XmodemTransmitter, TriggerMessagesFindTheRecordByDispatcherHandle) {
    StartWith(PatternBytes(10));
    ASSERT_EQ(h.line.handlers.size(), 1u);
    EXPECT_EQ(h.line.userData, h.data.get());
    h.line.Receive({cCrcStart});
    h.line.handlers[0](kTriggerAvail, 1, h.line.handle << 16);
    EXPECT_EQ(h.data->XmodemState, txDraining);
    EXPECT_FALSE(TransmitStateMachine(kTriggerAvail, 1, 99 << 16));  // unknown dispatcher
}

TEST(XmodemInit, TypesAndTheirSettings) {
    std::unique_ptr<ProtocolData> data;
    InitProtocolData(data, nullptr, 0);
    struct Row {
        bool crc, k1, g;
        TProtocolType type;
        std::uint32_t blockLength;
        std::uint8_t start;
        TBlockCheckMethod check;
    } rows[] = {{false, false, false, ptXmodem, 128, cSoh, bcmChecksum},
                {true, false, false, ptXmodemCRC, 128, cSoh, bcmCrc16},
                {true, true, false, ptXmodem1K, 1024, cStx, bcmCrc16},
                {true, false, true, ptXmodem1KG, 1024, cStx, bcmCrc16}};
    for (const auto& r : rows) {
        ASSERT_EQ(InitXmodem(*data, r.crc, r.k1, r.g), 0);
        EXPECT_EQ(data->ProtocolType, r.type);
        EXPECT_EQ(data->BlockLength, r.blockLength);
        EXPECT_EQ(data->StartChar, r.start);
        EXPECT_EQ(data->BlockCheck, r.check);
        EXPECT_EQ(data->Overhead, 5u);
        EXPECT_EQ(data->TurnDelay, 1000u);
        EXPECT_EQ(data->FinishWait, 0u);
        EXPECT_EQ(data->XYmodemBlockWait, 91u);
        EXPECT_EQ(data->MaxBlockErrors, 5u);
    }
    DoneProtocolData(data);
}

}  // namespace
}  // namespace kavo::test
