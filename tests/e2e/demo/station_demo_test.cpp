// `scripts/demo --station` ends every process it starts: after it has printed its results, and
// after Ctrl+C in the middle, nothing of it is left running. The demo runs in a session of its
// own, which every process it starts inherits (none of them starts a session), so what is left
// of it is what /proc still lists in that session.
#include "child_process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kavo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::ChildProcess;

const std::string kBin = KAVO_BIN_DIR;
const std::string kSource = KAVO_SOURCE_DIR;

struct Process {
    pid_t pid;
    std::string name;
};

// The processes of session `session`, zombies left out (they have ended and wait to be reaped).
std::vector<Process> SessionMembers(pid_t session) {
    std::vector<Process> members;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), {});
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        // pid (comm) state ppid pgrp session ...
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0, group = 0, sid = 0;
        fields >> state >> ppid >> group >> sid;
        if (sid == session && state != "Z") {
            members.push_back({std::stoi(name), stat.substr(open + 1, close - open - 1)});
        }
    }
    return members;
}

std::string Names(const std::vector<Process>& processes) {
    std::string text;
    for (const Process& p : processes) text += " " + p.name + "(" + std::to_string(p.pid) + ")";
    return text;
}

// Waits up to `deadline` for `done`.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool Has(const std::vector<Process>& processes, const std::string& name) {
    for (const Process& p : processes) {
        if (p.name == name) return true;
    }
    return false;
}

class StationDemoTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"kavodown", "linesim", "termsim"}) {
            if (::access((kBin + "/" + program).c_str(), X_OK) != 0) GTEST_SKIP() << "no " << program;
        }
        if (!fs::exists(kBin + "/../demo/sample-firmware.bin")) GTEST_SKIP() << "no sample firmware";
    }

    // The demo on the build as it is, `units` units long, in a session of its own.
    std::unique_ptr<ChildProcess> StartDemo(int units) {
        auto demo = std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = {kSource + "/scripts/demo", "--station"},
            .env = {"KAVO_DEMO_SKIP_BUILD=1", "KAVO_BUILD_DIR=" + kBin + "/..",
                    "KAVO_DEMO_UNITS=" + std::to_string(units)},
            .in = ChildProcess::Input::Null,
            .out = ChildProcess::Output::Capture,
            .err = ChildProcess::Output::Capture,
            .ownSession = true,
            .stopSignal = SIGTERM});
        EXPECT_TRUE(demo->Started()) << demo->Error();
        session_ = demo->Pid();
        return demo;
    }

    // Nothing of the demo's session is left once the demo has ended. (A process that is just
    // ending may still be listed for a moment.)
    void ExpectNothingLeft() {
        std::vector<Process> left;
        const bool gone = WaitFor([&] { return (left = SessionMembers(session_)).empty(); }, 10s);
        EXPECT_TRUE(gone) << "left running:" << Names(left);
    }

    void TearDown() override {
        // A failed test leaves nothing running either.
        if (session_ <= 0) return;
        for (const Process& p : SessionMembers(session_)) ::kill(p.pid, SIGKILL);
    }

    pid_t session_ = -1;
};

TEST_F(StationDemoTest, EndsEveryProcessItStartedWhenItsUnitsAreDone) {
    auto demo = StartDemo(2);
    // Two units at 921600 baud take seconds; the rest is for a machine that is busy.
    const auto code = demo->Wait(100s);
    const std::string output = demo->ReadAll(10s);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("demo: the station ended with exit code"), std::string::npos) << output;
    ExpectNothingLeft();
}

TEST_F(StationDemoTest, EndsEveryProcessItStartedWhenInterrupted) {
    auto demo = StartDemo(1000);
    // In the middle: terminals and their lines are plugged in.
    std::vector<Process> running;
    const bool plugged = WaitFor(
        [&] {
            running = SessionMembers(session_);
            return Has(running, "linesim") && Has(running, "termsim");
        },
        60s);
    ASSERT_TRUE(plugged) << "no terminal was plugged in; running:" << Names(running);
    // To the demo alone (Ctrl+C in its terminal would reach its process group): its clean-up has
    // to end everything else.
    ASSERT_EQ(::kill(demo->Pid(), SIGINT), 0);
    EXPECT_EQ(demo->Wait(60s), 130) << demo->ReadAll(1s);
    ExpectNothingLeft();
}

}  // namespace
}  // namespace kavo::test
