// A worker thread of the port that ends by an error in the middle of a transfer, one case per
// worker: the error is shown once with the port, the worker and the error's text, the transfer
// ends with an error at once (long before any of its time-outs could end it), and the port closes
// and opens again for a transfer that goes through.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <exception>

#include "serial/error_codes.h"
#include "support/faulty_dispatcher.h"
#include "terminal_sim.h"
#include "transfer_fixture.h"

namespace kavo::test {
using namespace kavo::sim;
namespace {

class WorkerFaultDuringTransfer : public TransferOverLine,
                                  public ::testing::WithParamInterface<FaultedWorker> {
protected:
    void SetUp() override {
        TransferOverLine::SetUp();
        SetExceptionDisplay([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                shown.emplace_back(e.what());
            }
        });
    }
    void TearDown() override {
        SetExceptionDisplay(nullptr);
        if (terminal) terminal->Stop();
        terminal.reset();
        TransferOverLine::TearDown();
    }
    void StartTerminal(const std::string& outputPath) {
        TerminalSimOptions options;
        options.portPath = line->PathB();
        options.outputPath = outputPath;
        options.handshakeMs = 200;
        options.timeoutMs = 60000;
        terminal = std::make_unique<TerminalSim>(options);
        terminal->Start();
    }

    // What the first transfer left on the line, in flight or waiting at end B, must not reach the
    // next terminal as blocks of its own.
    void ClearLine() {
        ASSERT_TRUE(PumpUntil(
            [&] {
                const LineDirectionCounts c = line->Counts().aToB;
                return c.received == c.delivered + c.dropped + c.lostClosed + c.discardedAtCut;
            },
            10s));
        const int fd = ::open(line->PathB().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ::tcflush(fd, TCIOFLUSH);
        ::close(fd);
    }

    std::vector<std::string> shown;
    std::unique_ptr<TerminalSim> terminal;
};

TEST_P(WorkerFaultDuringTransfer, EndsTheTransferAtOnceAndThePortOpensAgain) {
    const FaultedWorker worker = GetParam();
    // A paced line, so that the transfer is still running when the worker fails.
    LineSimOptions lineOptions;
    lineOptions.baud = 115200;
    MakeLine(lineOptions);
    MakeComponents();
    FaultyDispatcher* faulty = nullptr;
    port->SetDispatcherFactory([&faulty](TApdCustomComPort* owner) {
        auto made = std::make_unique<FaultyDispatcher>(owner);
        faulty = made.get();
        return made;
    });
    // Every wait of the transfer is a minute: an end that came from one of them would be late.
    protocol->SetXYmodemBlockWait(1092);
    protocol->SetTransmitTimeout(1092);

    const auto content = TestBytes(200000, 9);
    Send(WriteFile("firmware.bin", content));
    StartTerminal("");
    ASSERT_TRUE(PumpUntil([&] { return protocol->BytesTransferred() >= 2048; }, 10s));
    const auto faultAt = std::chrono::steady_clock::now();
    faulty->Fail(worker);

    ASSERT_TRUE(WaitFinish(30s));
    EXPECT_LT(std::chrono::steady_clock::now() - faultAt, 5s);
    EXPECT_EQ(*finish, ecHardwareFailure);
    EXPECT_LT(protocol->BytesTransferred(), static_cast<std::int64_t>(content.size()));
    const std::string text = "COM7 (" + line->PathA() + "): the " + FaultedWorkerName(worker) +
                             " ended by an error: " + kInjectedFault;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], text);
    EXPECT_EQ(port->WorkerFailure(), text);
    EXPECT_TRUE(port->Open());  // down, until the owner closes it

    terminal->Stop();
    terminal.reset();
    port->SetOpen(false);
    // A close while the dispatcher thread is still in a delivery (the failure's own, on a busy
    // machine) finishes once that delivery has ended.
    ASSERT_TRUE(PumpUntil([&] { return !port->Open(); }, 10s));
    EXPECT_EQ(port->WorkerFailure(), "");

    // Opened again, the port carries a whole transfer.
    ClearLine();
    finish.reset();
    const auto small = TestBytes(3000, 10);
    const std::string received = folder + "/received.bin";
    Send(WriteFile("small.bin", small));
    StartTerminal(received);
    ASSERT_TRUE(WaitFinish(30s));
    EXPECT_EQ(*finish, 0);
    std::optional<TerminalSimResult> result;
    ASSERT_TRUE(PumpUntil([&] { return (result = terminal->Wait(0ms)).has_value(); }, 10s));
    EXPECT_EQ(result->outcome, TerminalSimResult::Outcome::Received) << result->Summary();
    EXPECT_TRUE(SameUpToPadding(small, ReadFile(received)));
    EXPECT_EQ(shown.size(), 1u);
    port->SetOpen(false);
}

INSTANTIATE_TEST_SUITE_P(EachWorker, WorkerFaultDuringTransfer,
                         ::testing::Values(FaultedWorker::device, FaultedWorker::dispatcher,
                                           FaultedWorker::output),
                         [](const ::testing::TestParamInfo<FaultedWorker>& info) {
                             switch (info.param) {
                             case FaultedWorker::device: return std::string("DeviceThread");
                             case FaultedWorker::dispatcher: return std::string("DispatcherThread");
                             case FaultedWorker::output: return std::string("OutputThread");
                             }
                             return std::string();
                         });

}  // namespace
}  // namespace kavo::test
