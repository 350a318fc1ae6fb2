// A block queued into an empty output ring goes to the device at once from the sender's thread;
// what the device does not take goes to the output thread. These cases hold the two paths to the
// same account: every byte once and in order on the line and in the trace, the output-buffer
// triggers, and a failing write, which is the same fault on either path.
#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "port_fixture.h"
#include "serial/error_codes.h"
#include "support/read_file.h"
#include "support/temp_dir.h"

namespace kavo::test {
namespace {

using namespace std::chrono_literals;

// A POSIX dispatcher whose device writes follow a script: each step takes only part of a write,
// or fails it with an errno; once the script is done the writes go through. Every write call is
// recorded with the thread that made it.
class ScriptedWriteDispatcher : public TApdPosixDispatcher {
public:
    using TApdPosixDispatcher::TApdPosixDispatcher;
    ~ScriptedWriteDispatcher() override { Shutdown(); }

    struct Step {
        std::size_t take = 0;  // bytes the device takes (when error is 0)
        int error = 0;         // the call fails with this errno
    };
    struct Call {
        std::thread::id thread;
        std::size_t asked;
        ssize_t result;
    };

    void Script(std::vector<Step> steps) {
        std::lock_guard lock(mutex_);
        script_.assign(steps.begin(), steps.end());
    }
    std::vector<Call> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

protected:
    ssize_t WriteToDevice(int fd, const std::uint8_t* data, std::size_t count) override {
        std::optional<Step> step;
        {
            std::lock_guard lock(mutex_);
            if (!script_.empty()) {
                step = script_.front();
                script_.pop_front();
            }
        }
        ssize_t result;
        int error = 0;
        if (step && step->error != 0) {
            result = -1;
            error = step->error;
        } else {
            result = TApdPosixDispatcher::WriteToDevice(fd, data, step ? std::min(step->take, count) : count);
            error = errno;
        }
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({std::this_thread::get_id(), count, result});
        }
        errno = error;
        return result;
    }

private:
    std::mutex mutex_;
    std::deque<Step> script_;
    std::vector<Call> calls_;
};

class DirectWrite : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        scripted = UseDispatcher<ScriptedWriteDispatcher>();
    }

    bool Fired(int handle) {
        for (const auto& d : HandlerLog::Get().Deliveries())
            if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(handle)) return true;
        return false;
    }

    // The trace's dump (all bytes in hex), and what it must be for `sent` transmitted in order.
    std::string DumpedTrace() {
        const std::string file = (folder / "t.trc").string();
        EXPECT_EQ(scripted->DumpTrace(file, false, false, true), 0);
        return ReadFile(file);
    }
    static std::string TransmitTrace(const std::vector<std::uint8_t>& sent) {
        std::vector<std::pair<char, std::uint8_t>> entries;
        for (std::uint8_t byte : sent) entries.emplace_back('T', byte);
        return FormatTraceEntries(entries, false, true);
    }

    ScriptedWriteDispatcher* scripted = nullptr;
    TempDir folder{"kavo-direct"};
};

TEST_F(DirectWrite, ABlockIntoAnEmptyRingLeavesFromTheSendersThreadOnceAndTheDrainTriggerFires) {
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(scripted->StartTrace(10000), 0);
    scripted->AttachTriggerHandler(RecordingHandler);
    const int drained = scripted->CreateStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(scripted->ArmStatusTrigger(drained, 0, true), 0);
    const auto block = Pattern(1029);
    ASSERT_EQ(scripted->SendBlock(block.data(), block.size()), 0);
    // Taken whole by the device from this thread: nothing was left for the output thread.
    const auto calls = scripted->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[0].result, static_cast<ssize_t>(block.size()));
    ASSERT_TRUE(HandlerLog::Get().WaitFor([&] { return Fired(drained); }));
    EXPECT_EQ(scripted->OutputUsed(), 0u);
    EXPECT_EQ(scripted->Calls().size(), 1u);
    // Once on the line: the next byte sent is the next byte that arrives.
    ASSERT_EQ(scripted->SendChar('z'), 0);
    std::vector<std::uint8_t> sent = block;
    sent.push_back('z');
    EXPECT_EQ(peer->Read(sent.size(), 5s), sent);
    EXPECT_EQ(DumpedTrace(), TransmitTrace(sent));
}

TEST_F(DirectWrite, WhatTheDeviceDoesNotTakeFollowsFromTheOutputThreadInOrder) {
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(scripted->StartTrace(10000), 0);
    scripted->AttachTriggerHandler(RecordingHandler);
    const int drained = scripted->CreateStatusTrigger(stOutBuffUsed);
    // The direct write is taken in part; so are the output thread's first two writes, and one
    // finds the device busy.
    scripted->Script({{.take = 100}, {.take = 7}, {.error = EAGAIN}, {.take = 1}});
    const auto first = Pattern(1029);
    const auto second = Pattern(300, 40);
    ASSERT_EQ(scripted->SendBlock(first.data(), first.size()), 0);
    ASSERT_EQ(scripted->SendBlock(second.data(), second.size()), 0);
    ASSERT_EQ(scripted->ArmStatusTrigger(drained, 0, true), 0);
    ASSERT_TRUE(HandlerLog::Get().WaitFor([&] { return Fired(drained); }));
    EXPECT_EQ(scripted->OutputUsed(), 0u);
    // The first block went straight to the device, and its rest from the output thread.
    const auto calls = scripted->Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[0].result, 100);
    EXPECT_NE(calls[1].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[1].result, 7);
    ASSERT_EQ(scripted->SendChar('z'), 0);
    std::vector<std::uint8_t> sent = first;
    sent.insert(sent.end(), second.begin(), second.end());
    sent.push_back('z');
    EXPECT_EQ(peer->Read(sent.size(), 5s), sent);
    EXPECT_EQ(DumpedTrace(), TransmitTrace(sent));
}

TEST_F(DirectWrite, NothingOvertakesBytesThatWaitForAFullDevice) {
    ASSERT_EQ(Open(65536), 0);
    // Nobody reads the far end: the device takes part of the first block, and the rest waits in
    // the ring while the next blocks are queued.
    const auto first = Pattern(40000);
    ASSERT_EQ(scripted->SendBlock(first.data(), first.size()), 0);
    ASSERT_GT(scripted->OutputUsed(), 0u);
    std::vector<std::uint8_t> sent = first;
    for (std::size_t i = 0; i < 5; ++i) {
        const auto next = Pattern(1000, i + 1);
        ASSERT_EQ(scripted->SendBlock(next.data(), next.size()), 0);
        sent.insert(sent.end(), next.begin(), next.end());
    }
    const auto calls = scripted->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_GT(calls[0].result, 0);
    EXPECT_LT(calls[0].result, static_cast<ssize_t>(first.size()));
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_NE(calls[i].thread, std::this_thread::get_id()) << i;
    const auto got = peer->Read(sent.size(), 10s);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

enum class FailingPath { direct, outputThread };

class DirectWriteFault : public DirectWrite,
                         public ::testing::WithParamInterface<std::pair<FailingPath, int>> {};

// A hang-up (EIO) takes the line down; another error drops the write and the port goes on. The
// outcome does not depend on which thread made the write.
TEST_P(DirectWriteFault, IsTheSameDeviceFaultOnEitherPath) {
    const auto [path, error] = GetParam();
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(scripted->StartDispatchLog(65536), 0);
    scripted->AttachTriggerHandler(RecordingHandler);
    const int drained = scripted->CreateStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(scripted->ArmStatusTrigger(drained, 0, true), 0);
    if (path == FailingPath::direct) {
        scripted->Script({{.error = error}});
    } else {
        scripted->Script({{.error = EAGAIN}, {.error = error}});
    }
    const auto block = Pattern(1029);
    ASSERT_EQ(scripted->SendBlock(block.data(), block.size()), 0);
    ASSERT_TRUE(HandlerLog::Get().WaitFor([&] { return Fired(drained); }));
    EXPECT_EQ(scripted->OutputUsed(), 0u);
    const auto calls = scripted->Calls();
    ASSERT_EQ(calls.size(), path == FailingPath::direct ? 1u : 2u);
    EXPECT_EQ(calls.back().thread == std::this_thread::get_id(), path == FailingPath::direct);
    const std::string log = (folder / "d.log").string();
    if (error == EIO) {
        EXPECT_TRUE(scripted->DeviceLost());
        EXPECT_FALSE(scripted->WorkerFailed());
        EXPECT_EQ(scripted->SendBlock("x", 1), ecDeviceWrite);
        EXPECT_FALSE(scripted->CarrierPresent());
        ASSERT_EQ(scripted->DumpDispatchLog(log, false, false, false), 0);
        EXPECT_NE(ReadFile(log).find("Lost"), std::string::npos);
    } else {
        EXPECT_FALSE(scripted->DeviceLost());
        // The failed block never reaches the line; the next one does.
        ASSERT_EQ(scripted->SendBlock("ok", 2), 0);
        EXPECT_EQ(peer->Read(2, 5s), (std::vector<std::uint8_t>{'o', 'k'}));
        ASSERT_EQ(scripted->DumpDispatchLog(log, false, false, false), 0);
        EXPECT_EQ(ReadFile(log).find("Lost"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(EachPath, DirectWriteFault,
                         ::testing::Values(std::pair{FailingPath::direct, EIO},
                                           std::pair{FailingPath::outputThread, EIO},
                                           std::pair{FailingPath::direct, ENOSPC},
                                           std::pair{FailingPath::outputThread, ENOSPC}),
                         [](const ::testing::TestParamInfo<std::pair<FailingPath, int>>& info) {
                             return std::string(info.param.first == FailingPath::direct ? "Direct" : "OutputThread") +
                                    (info.param.second == EIO ? "HangUp" : "OtherError");
                         });

}  // namespace
}  // namespace kavo::test
