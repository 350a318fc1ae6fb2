// The command-line fronts of the simulators, as the demo and the end-to-end tests run them: ready
// lines, counts, summaries and exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "child_process.h"
#include "line_sim.h"
#include "pty_pair.h"

namespace kavo::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const std::string kBin = KAVO_BIN_DIR;

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A tool started with its output in a file; killed at the end of the test if still running.
class Tool {
public:
    Tool(const std::vector<std::string>& args, const std::string& log)
        : log_(log),
          child_({.argv = args,
                  .out = ChildProcess::Output::File,
                  .err = ChildProcess::Output::File,
                  .outPath = log,
                  .errPath = log}) {}
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline = 20s) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            if (Output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // The exit code, or -1 when the tool did not end within the deadline.
    int Wait(std::chrono::milliseconds deadline = 30s) { return child_.Wait(deadline).value_or(-1); }
    void Signal(int sig) { child_.Signal(sig); }
    std::string Output() const { return ReadText(log_); }
    bool Started() const { return child_.Started(); }

private:
    std::string log_;
    ChildProcess child_;
};

std::string TempDir(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

int OpenPort(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

// Reads up to `count` bytes; stops at a hang-up (sets hungUp) or after `quiet` of silence.
Bytes ReadPort(int fd, std::size_t count, bool* hungUp = nullptr, std::chrono::milliseconds quiet = 2000ms) {
    Bytes out;
    if (hungUp) *hungUp = false;
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        std::uint8_t buf[4096];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (hungUp) *hungUp = true;
            break;
        }
    }
    return out;
}

TEST(LineSimTool, RelaysBetweenItsLinksAndReportsTheCounts) {
    const std::string dir = TempDir("linesim-tool");
    Tool tool({kBin + "/linesim", "--baud", "0", "--link-a", dir + "/A", "--link-b", dir + "/B", "--seed", "3",
               "--drop-a2b", "0.25"},
              dir + "/log");
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForOutput("linesim: ready")) << tool.Output();
    const int a = OpenPort(dir + "/A"), b = OpenPort(dir + "/B");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const Bytes data(1000, 0x55);
    ASSERT_EQ(write(a, data.data(), data.size()), 1000);
    const Bytes got = ReadPort(b, 1000, nullptr, 1000ms);
    EXPECT_GT(got.size(), 600u);
    EXPECT_LT(got.size(), 900u);
    ASSERT_EQ(write(b, "ok", 2), 2);
    EXPECT_EQ(ReadPort(a, 2), (Bytes{'o', 'k'}));
    close(a);
    close(b);
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.Wait(), 0);
    const std::string out = tool.Output();
    EXPECT_NE(out.find("A->B: received 1000, delivered " + std::to_string(got.size()) + ", corrupted 0, dropped " +
                       std::to_string(1000 - got.size())),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("B->A: received 2, delivered 2"), std::string::npos) << out;
    EXPECT_NE(out.find("cable intact"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/A")));
    fs::remove_all(dir);
}

TEST(LineSimTool, EndsByItselfAfterACut) {
    const std::string dir = TempDir("linesim-cut");
    Tool tool({kBin + "/linesim", "--baud", "0", "--link-a", dir + "/A", "--link-b", dir + "/B", "--cut-b2a", "10"},
              dir + "/log");
    ASSERT_TRUE(tool.WaitForOutput("linesim: ready")) << tool.Output();
    const int a = OpenPort(dir + "/A"), b = OpenPort(dir + "/B");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_EQ(write(b, "0123456789abcdef", 16), 16);
    bool hungUp = false;
    EXPECT_EQ(ReadPort(a, 100, &hungUp, 5000ms), (Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(tool.Wait(), 0);
    EXPECT_NE(tool.Output().find("cable cut"), std::string::npos) << tool.Output();
    close(a);
    close(b);
    fs::remove_all(dir);
}

TEST(SimulatorTools, RejectBadCommandLines) {
    const std::string dir = TempDir("sims-usage");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {kBin + "/linesim", "--drop-a2b", "2"},
             {kBin + "/linesim", "--stall-b2a", "5"},
             {kBin + "/linesim", "--frobnicate"},
             {kBin + "/termsim"},
             {kBin + "/termsim", "/dev/null", "--nak-block", "x"},
             {kBin + "/termsim", "/dev/null", "--fat", "15"},
         }) {
        Tool tool(args, dir + "/log");
        EXPECT_EQ(tool.Wait(), 2) << args.back();
    }
    fs::remove_all(dir);
}

TEST(TermSimTool, SummaryLineAndExitCodes) {
    if (std::system("command -v sx >/dev/null 2>&1") != 0) GTEST_SKIP() << "lrzsz (sx) is not installed";
    const std::string dir = TempDir("termsim-tool");
    Bytes data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 300);
    {
        std::ofstream f(dir + "/fw.bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    auto run = [&](std::vector<std::string> extra, std::string* output) {
        LineSim line(LineSimOptions{});
        line.Start();
        std::vector<std::string> args{kBin + "/termsim", line.PathB(), "--out", dir + "/got.bin", "--handshake-ms",
                                      "300", "--timeout-ms", "60000"};
        args.insert(args.end(), extra.begin(), extra.end());
        Tool tool(args, dir + "/log");
        EXPECT_TRUE(tool.WaitForOutput("termsim: ready")) << tool.Output();
        const std::string sx = "timeout 60 sx -k " + dir + "/fw.bin <" + line.PathA() + " >" + line.PathA() + " 2>/dev/null";
        (void)std::system(sx.c_str());
        const int code = tool.Wait();
        *output = tool.Output();
        return code;
    };
    std::string out;
    EXPECT_EQ(run({"--size", "5000"}, &out), 0);
    EXPECT_NE(out.find("termsim: received bytes=5000 blocks=5 (1024:5 128:0) retries=0"), std::string::npos) << out;
    EXPECT_NE(out.find("check=crc16"), std::string::npos) << out;
    Bytes got(data.size() + 1);
    {
        std::ifstream f(dir + "/got.bin", std::ios::binary);
        f.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
        got.resize(static_cast<std::size_t>(f.gcount()));
    }
    EXPECT_EQ(got, data);

    EXPECT_EQ(run({"--cancel-at-block", "2", "--can-count", "2"}, &out), 3);
    EXPECT_NE(out.find("termsim: fault-ended"), std::string::npos) << out;

    // Nobody sends: the time limit ends the session as a failure.
    PtyPair pty;
    Tool idle({kBin + "/termsim", pty.DevicePath(), "--timeout-ms", "300"}, dir + "/idle.log");
    EXPECT_EQ(idle.Wait(), 1);
    EXPECT_NE(idle.Output().find("termsim: timed-out"), std::string::npos) << idle.Output();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kavo::sim
