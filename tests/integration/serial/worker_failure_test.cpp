// A worker thread of an open port that ends by an error, one case per worker: the port goes down
// at once and says which worker failed and why, the other workers end instead of waiting, and the
// port closes and opens again.
#include <chrono>
#include <utility>
#include <vector>

#include "platform/message_queue.h"
#include "port_fixture.h"
#include "serial/error_codes.h"
#include "support/faulty_dispatcher.h"

namespace kavo::test {
namespace {

using namespace std::chrono_literals;

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 10s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        WaitForMessage(5);
        ProcessMessages();
    }
    return true;
}

class WorkerFailure : public PortTest, public ::testing::WithParamInterface<FaultedWorker> {
protected:
    void SetUp() override {
        PortTest::SetUp();
        faulty = UseDispatcher<FaultyDispatcher>();
        faulty->SetDeviceNameText("COM41");
    }
    void TearDown() override {
        dispatcher.reset();
        if (window) DestroyMessageWindow(window);
        PortTest::TearDown();
    }

    FaultyDispatcher* faulty = nullptr;
    HWND window = 0;
};

TEST_P(WorkerFailure, PortGoesDownSaysWhyAndOpensAgain) {
    const FaultedWorker worker = GetParam();
    auto& log = HandlerLog::Get();
    // The owner's window on this thread, as the port component attaches its own.
    std::vector<std::pair<WPARAM, LPARAM>> told;
    window = CreateMessageWindow([&](std::uint32_t msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == kWorkerFailed) told.emplace_back(wParam, lParam);
        return 0;
    });
    ASSERT_EQ(Open(), 0);
    faulty->AttachTriggerWindow(window);
    faulty->AttachTriggerHandler(RecordingHandler);
    faulty->SetAvailTriggerLevel(1);
    peer->Write("a");
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() == 1; }));

    faulty->Fail(worker);
    // What wakes the worker: output for the output thread, input for the others.
    if (worker == FaultedWorker::output) {
        ASSERT_EQ(faulty->SendBlock("b", 1), 0);
    } else {
        peer->Write("b");
    }
    // The owner is told on its own thread, which worker it was.
    ASSERT_TRUE(PumpUntil([&] { return !told.empty(); }));
    EXPECT_EQ(told[0].first, FaultedWorkerIndex(worker));
    EXPECT_EQ(static_cast<std::uint32_t>(told[0].second) >> 16, static_cast<std::uint32_t>(faulty->Handle()));
    EXPECT_TRUE(faulty->WorkerFailed());
    EXPECT_EQ(faulty->WorkerFailure(), "COM41 (" + peer->DevicePath() + "): the " +
                                           FaultedWorkerName(worker) + " ended by an error: " + kInjectedFault);
    // The other workers end as well: none is left waiting on a port that is down.
    ASSERT_TRUE(log.WaitFor([&] { return faulty->ActiveThreads() == 0; }, 5s));
    EXPECT_FALSE(faulty->ThreadsStarted());
    EXPECT_TRUE(faulty->DeviceLost());
    EXPECT_EQ(faulty->SendBlock("c", 1), ecDeviceWrite);
    ProcessMessages();
    EXPECT_EQ(told.size(), 1u);

    // It closes, releases the device, and the same dispatcher opens the port again.
    faulty->ClosePort();
    EXPECT_EQ(faulty->DevicePath(), "");
    faulty->Heal();
    ASSERT_EQ(Open(), 0);
    EXPECT_FALSE(faulty->WorkerFailed());
    EXPECT_EQ(faulty->WorkerFailure(), "");
    faulty->AttachTriggerHandler(RecordingHandler);
    faulty->SetAvailTriggerLevel(1);
    peer->Write("d");
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() >= 2 && log.Bytes().back() == 'd'; }));
    ASSERT_EQ(faulty->SendBlock("e", 1), 0);
    EXPECT_EQ(peer->Read(1, 5s), std::vector<std::uint8_t>{'e'});
    EXPECT_EQ(faulty->ActiveThreads(), 3);
}

INSTANTIATE_TEST_SUITE_P(EachWorker, WorkerFailure,
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
