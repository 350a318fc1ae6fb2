// Transfers against the terminal simulator over the line simulator, with the faults a real line
// and a real terminal bring: damaged and lost bytes, NAK runs, cancels, silence, a cut cable, and
// the operator's cancel or a port closed in the middle.
#include "terminal_sim.h"
#include "transfer_fixture.h"

#include <functional>

namespace kavo::test {
using namespace kavo::sim;
namespace {

class AgainstTerminal : public TransferOverLine {
protected:
    TerminalSimOptions TerminalOn() {
        TerminalSimOptions options;
        options.portPath = line->PathB();
        options.handshakeMs = 500;
        options.timeoutMs = 120000;
        return options;
    }
    // Starts the sender, then the terminal on the far end.
    void Run(const std::vector<std::uint8_t>& content, TerminalSimOptions options) {
        source = WriteFile("firmware.bin", content);
        Send(source);
        terminal = std::make_unique<TerminalSim>(std::move(options));
        terminal->Start();
    }
    TerminalSimResult TerminalResult() {
        std::optional<TerminalSimResult> result;
        PumpUntil(
            [&] {
                result = terminal->Wait(0ms);
                return result.has_value();
            },
            30s);
        if (!result) {
            terminal->Stop();
            result = terminal->Wait(10s);
        }
        return result.value_or(TerminalSimResult{});
    }
    // With a silence limit of about 1.5 s (three reply waits of 0.5 s), a receiver that stops
    // answering ends the transfer with the time-out.
    void ExpectSilenceLimitEnds(const std::vector<std::uint8_t>& content, TerminalSimOptions options,
                                std::int64_t delivered) {
        protocol->SetXYmodemBlockWait(9);
        protocol->SetTransmitTimeout(9);
        protocol->SetSilenceLimit(27);
        Run(content, std::move(options));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitFinish(30s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
        EXPECT_EQ(*finish, -6006);
        EXPECT_EQ(errors, (std::vector<std::int32_t>{-6006}));
        EXPECT_EQ(protocol->BytesTransferred(), delivered);
        terminal->Stop();
        const auto result = TerminalResult();
        EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::FaultEnded) << result.Summary();
    }
    void TearDown() override {
        if (terminal) terminal->Stop();
        terminal.reset();
        TransferOverLine::TearDown();
    }

    std::string source;
    std::unique_ptr<TerminalSim> terminal;
};

TEST_F(AgainstTerminal, DamagedAndLostBytesAreRepairedByRetries) {
    LineSimOptions lineOptions;
    lineOptions.seed = 42;
    lineOptions.aToB.corruptProbability = 0.0001;
    lineOptions.aToB.dropProbability = 0.00005;
    MakeLine(lineOptions);
    MakeComponents();
    const auto content = TestBytes(60000, 3);
    auto options = TerminalOn();
    options.blockTimeoutMs = 2000;
    options.byteTimeoutMs = 200;
    options.purgeQuietMs = 50;
    Run(content, options);
    ASSERT_TRUE(WaitFinish(120s));
    EXPECT_EQ(*finish, 0);
    const auto result = TerminalResult();
    EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::Received) << result.Summary();
    EXPECT_TRUE(SameUpToPadding(content, result.data));
    const auto counts = line->Counts();
    EXPECT_GT(counts.aToB.corrupted + counts.aToB.dropped, 0u) << "the line injected no fault";
    EXPECT_GT(protocol->TotalErrors(), 0u);
}

TEST_F(AgainstTerminal, NakRunFallsBackTo128ByteBlocksAndStillDelivers) {
    MakeLine();
    MakeComponents();
    const auto content = TestBytes(5000, 4);
    auto options = TerminalOn();
    options.nakBlocks = {{2, 6}};
    Run(content, options);
    ASSERT_TRUE(WaitFinish(60s));
    EXPECT_EQ(*finish, 0);
    const auto result = TerminalResult();
    EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::Received) << result.Summary();
    EXPECT_GT(result.blocks128, 0u);
    EXPECT_TRUE(SameUpToPadding(content, result.data));
}

TEST_F(AgainstTerminal, EndlessNaksEndWithTooManyErrors) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.nakBlocks = {{1, 100}};
    Run(TestBytes(3000, 5), options);
    ASSERT_TRUE(WaitFinish(60s));
    EXPECT_EQ(*finish, -6008);
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-6008}));
    const auto result = TerminalResult();
    EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::SenderCancelled) << result.Summary();
}

TEST_F(AgainstTerminal, CanInReplyToABlockCancels) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.cancelAtBlock = 3;
    Run(TestBytes(10000, 6), options);
    ASSERT_TRUE(WaitFinish(60s));
    EXPECT_EQ(*finish, -6005);
    EXPECT_TRUE(errors.empty());
}

TEST_F(AgainstTerminal, SilentReceiverTimesOutAfterTheHandshakeWaits) {
    MakeLine();
    MakeComponents();
    protocol->SetHandshakeWait(4);  // about 0.2 s per wait
    protocol->SetHandshakeRetry(3);
    auto options = TerminalOn();
    options.neverAnswer = true;
    Run(TestBytes(1000, 7), options);
    ASSERT_TRUE(WaitFinish(30s));
    EXPECT_EQ(*finish, -6006);
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-6006}));
}

TEST_F(AgainstTerminal, SilenceLimitEndsATransferWhoseReceiverStopsAfterABlock) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.stopAfterBlock = 2;  // block 3 goes unanswered
    ExpectSilenceLimitEnds(TestBytes(5000, 13), options, 2048);
}

TEST_F(AgainstTerminal, SilenceLimitEndsATransferWhoseReceiverIgnoresTheEot) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.silentAtEot = true;
    ExpectSilenceLimitEnds(TestBytes(2000, 13), options, 2048);
}

TEST_F(AgainstTerminal, FiguresReadWhileTheTransferRunsStayInRange) {
    LineSimOptions lineOptions;
    lineOptions.baud = 460800;  // a few seconds for the file: many reads while it runs
    MakeLine(lineOptions);
    MakeComponents();
    const auto content = TestBytes(200000, 14);
    Run(content, TerminalOn());
    std::int64_t last = 0;
    std::size_t reads = 0;
    bool inRange = true;
    // The user-interface thread reads the figures at any time, as a repainting window does.
    ASSERT_TRUE(PumpUntil(
        [&] {
            const std::int64_t transferred = protocol->BytesTransferred();
            const std::int64_t remaining = protocol->BytesRemaining();
            const std::uint32_t blockLength = protocol->BlockLength();
            inRange = inRange && transferred >= 0 && transferred <= 200704 && remaining >= 0 &&
                      remaining <= 200000 && blockLength <= 1024;
            if (finish.has_value()) return true;
            if (transferred > last) last = transferred;
            ++reads;
            return false;
        },
        60s));
    EXPECT_TRUE(inRange);
    EXPECT_GT(reads, 10u);
    EXPECT_GT(last, 0);
    EXPECT_EQ(*finish, 0);
    EXPECT_EQ(protocol->BytesTransferred(), 196 * 1024);
    EXPECT_EQ(protocol->BytesRemaining(), 0);
}

TEST_F(AgainstTerminal, ThreeNaksToEotEndWithTooManyErrors) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.nakEots = 3;
    Run(TestBytes(1000, 8), options);
    ASSERT_TRUE(WaitFinish(60s));
    EXPECT_EQ(*finish, -6008);
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-6008}));
}

TEST_F(AgainstTerminal, OneNakToEotIsRepeatedAndSucceeds) {
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    options.nakEots = 1;
    const auto content = TestBytes(1000, 9);
    Run(content, options);
    ASSERT_TRUE(WaitFinish(60s));
    EXPECT_EQ(*finish, 0);
    EXPECT_TRUE(SameUpToPadding(content, TerminalResult().data));
}

TEST_F(AgainstTerminal, CableCutEndsTheTransferWithAnErrorWithinSeconds) {
    LineSimOptions lineOptions;
    lineOptions.aToB.cutAfterBytes = 60000;
    MakeLine(lineOptions);
    MakeComponents();
    Run(TestBytes(300000, 10), TerminalOn());
    const auto cutSeen = std::chrono::steady_clock::now();
    ASSERT_TRUE(line->WaitFinished(60s));
    ASSERT_TRUE(WaitFinish(15s)) << "the transfer did not end after the cut";
    EXPECT_LT(std::chrono::steady_clock::now() - cutSeen, 15s);
    EXPECT_EQ(*finish, -6014);  // the device went away
}

TEST_F(AgainstTerminal, CancelFromTheComponentSendsTheCancelSequence) {
    MakeLine();
    MakeComponents();
    Run(TestBytes(1u << 20, 11), TerminalOn());
    ASSERT_TRUE(PumpUntil([&] { return protocol->BytesTransferred() > 100000 || finish.has_value(); }, 60s));
    ASSERT_FALSE(finish.has_value());
    protocol->CancelTransfer();
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -6005);
    const auto result = TerminalResult();
    EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::SenderCancelled) << result.Summary();
    protocol->CancelTransfer();  // nothing in progress now: nothing happens
}

// The component's cancel in each state the transmitter can be in on a real line: waiting for
// the receiver's start character, sending blocks, waiting for the reply to a block, waiting for
// the reply to the EOT. Each ends at once as cancelled, and the terminal reads the cancel.
struct ComponentCancelCase {
    const char* name;
    std::size_t fileSize;
    std::function<void(TerminalSimOptions&)> terminal;
    std::function<bool(const TApdProtocol&)> reached;  // the transmitter is in the state now
    bool waiting;         // a wait state, settled into before the cancel
    bool terminalListens;  // else the terminal stopped reading: the line shows the cancel alone
};

class ComponentCancelInEachState : public AgainstTerminal,
                                   public ::testing::WithParamInterface<ComponentCancelCase> {};

TEST_P(ComponentCancelInEachState, EndsAtOnceAndTheTerminalIsTold) {
    const ComponentCancelCase& c = GetParam();
    MakeLine();
    MakeComponents();
    auto options = TerminalOn();
    c.terminal(options);
    Run(TestBytes(c.fileSize, 13), options);
    ASSERT_TRUE(PumpUntil([&] { return c.reached(*protocol) || finish.has_value(); }, 30s));
    ASSERT_FALSE(finish.has_value()) << "ended before the state was reached";
    if (c.waiting) PumpUntil([] { return false; }, 300ms);  // settle into the wait
    const std::int64_t sentBefore = protocol->BytesTransferred();
    const std::uint64_t onTheLineBefore = line->Counts().aToB.received;
    const auto start = std::chrono::steady_clock::now();
    protocol->CancelTransfer();
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "the cancel waited for a time-out";
    EXPECT_EQ(*finish, -6005);
    EXPECT_FALSE(protocol->InProgress());
    EXPECT_GE(protocol->BytesTransferred(), sentBefore);
    if (!c.terminalListens) {
        // CAN CAN CAN and three backspaces, and nothing else, crossed the line after the cancel.
        ASSERT_TRUE(PumpUntil([&] { return line->Counts().aToB.received >= onTheLineBefore + 6; }, 5s));
        PumpUntil([] { return false; }, 200ms);
        EXPECT_EQ(line->Counts().aToB.received, onTheLineBefore + 6);
        return;
    }
    const auto result = TerminalResult();
    EXPECT_EQ(result.outcome, TerminalSimResult::Outcome::SenderCancelled) << result.Summary();
}

INSTANTIATE_TEST_SUITE_P(
    States, ComponentCancelInEachState,
    ::testing::Values(
        ComponentCancelCase{"WaitingForTheStartCharacter", 5000,
                            [](TerminalSimOptions& o) { o.ignoreHandshakes = 1000; },
                            [](const TApdProtocol& p) { return p.InProgress(); }, true, true},
        ComponentCancelCase{"SendingBlocks", 1u << 20, [](TerminalSimOptions&) {},
                            [](const TApdProtocol& p) { return p.BytesTransferred() > 50000; }, false, true},
        ComponentCancelCase{"WaitingForTheReplyToABlock", 10000,
                            [](TerminalSimOptions& o) { o.stopAfterBlock = 2; },
                            [](const TApdProtocol& p) { return p.BytesTransferred() >= 2048; }, true, false},
        ComponentCancelCase{"WaitingForTheReplyToTheEot", 3000,
                            [](TerminalSimOptions& o) { o.silentAtEot = true; },
                            [](const TApdProtocol& p) { return p.BytesTransferred() >= 3000; }, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AgainstTerminal, PortClosedMidTransferCancelsIt) {
    MakeLine();
    MakeComponents();
    Run(TestBytes(1u << 20, 12), TerminalOn());
    ASSERT_TRUE(PumpUntil([&] { return protocol->BytesTransferred() > 50000 || finish.has_value(); }, 60s));
    ASSERT_FALSE(finish.has_value());
    port->SetOpen(false);
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -6005);
    EXPECT_FALSE(protocol->InProgress());
}

TEST_F(AgainstTerminal, MissingFileGivesAnErrorEventThenTheFinish) {
    MakeLine();
    MakeComponents();
    port->SetOpen(true);
    protocol->SetFileMask(folder + "/no-such-firmware.bin");
    protocol->BeginTransmit();
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-2}));
    EXPECT_EQ(*finish, -2);
}

TEST_F(AgainstTerminal, ErrorHandlerThatClosesThePortSeesOneFinishWithTheRealCode) {
    // An application that closes the port as soon as it hears of an error (as a window that ends
    // on errors does): the file's own error is the one finish, not a cancel before it.
    struct Case {
        const char* what;
        std::string path;
        std::int32_t code;
    };
    MakeLine();
    const Case cases[] = {{"missing", folder + "/no-such-firmware.bin", -2}, {"folder", folder, -5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeComponents();
        std::vector<std::int32_t> finishes;
        protocol->SetOnProtocolError([this](TApdCustomProtocol*, std::int32_t) { port->SetOpen(false); });
        protocol->SetOnProtocolFinish(
            [&](TApdCustomProtocol*, std::int32_t code) { finishes.push_back(code); });
        port->SetOpen(true);
        EXPECT_NO_THROW(protocol->BeginTransmitFile(c.path));
        PumpUntil([&] { return false; }, 1500ms);  // time for a second finish to arrive
        EXPECT_EQ(finishes, (std::vector<std::int32_t>{c.code}));
        EXPECT_FALSE(protocol->InProgress());
        owner.reset();
    }
}

TEST_F(AgainstTerminal, ClosedPortFinishesWithNotOpen) {
    MakeLine();
    MakeComponents();
    protocol->SetFileMask(WriteFile("firmware.bin", TestBytes(10)));
    protocol->BeginTransmit();  // no exception
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -103);
}

// The device can go between the port's open and the transfer's start (a terminal unplugged as
// the run begins): the transfer ends as one whose device went during it, not as one on a closed
// port.
TEST_F(AgainstTerminal, DeviceLostBeforeTheStartFinishesAsALostDevice) {
    LineSimOptions lineOptions;
    lineOptions.aToB.cutAfterBytes = 1;
    MakeLine(lineOptions);
    MakeComponents();
    port->SetOpen(true);
    port->SendString("x");  // cuts the cable
    ASSERT_TRUE(PumpUntil([this] { return port->Dispatcher()->DeviceLost(); }, 15s));
    protocol->SetFileMask(WriteFile("firmware.bin", TestBytes(10)));
    protocol->BeginTransmit();
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -6014);
}

TEST_F(AgainstTerminal, NoProtocolTypeDoesNothingAndNoPortRaises) {
    MakeLine();
    MakeComponents();
    protocol->SetProtocolType(ptNoProtocol);
    protocol->BeginTransmit();
    EXPECT_FALSE(PumpUntil([&] { return finish.has_value(); }, 200ms));
    protocol->SetProtocolType(ptXmodem1K);
    protocol->SetComPort(nullptr);
    EXPECT_THROW(protocol->BeginTransmit(), EPortNotAssigned);
}

}  // namespace
}  // namespace kavo::test
