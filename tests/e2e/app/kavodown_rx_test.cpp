// Unattended runs of the kavodown program against receivers it did not write and against a line
// that fails: lrzsz rx (behind socat) on the far end of the line simulator, a terminal that
// cancels, and a cable cut in the middle of the transfer. Each checks the exit code, the line on
// standard error and, where a file arrives, that file.
#include "child_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBin = KAVO_BIN_DIR;

// A child whose standard output the test reads; its standard error goes to `stderrPath` when
// one is given.
std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env = {},
                                    const std::string& workingDir = "",
                                    const std::string& stderrPath = "") {
    return std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = argv,
        .env = env,
        .workingDir = workingDir,
        .out = ChildProcess::Output::Capture,
        .err = stderrPath.empty() ? ChildProcess::Output::Inherit : ChildProcess::Output::File,
        .errPath = stderrPath});
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// True once the process has `device` open (its port); false after the deadline.
bool WaitOpened(pid_t pid, const std::string& device, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    while (std::chrono::steady_clock::now() < until) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fds, ec)) {
            std::error_code linkError;
            if (fs::read_symlink(entry.path(), linkError) == device) return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class KavodownAgainstReceivers : public ::testing::Test {
protected:
    static constexpr const char* kPort = "5";

    void SetUp() override {
        char pattern[] = "/tmp/kavo_rx_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        firmware_ = dir_ + "/firmware.bin";
        std::mt19937 rng(7);
        content_.assign(150000 + 77, '\0');
        for (char& c : content_) c = static_cast<char>(rng());
        std::ofstream(firmware_, std::ios::binary) << content_;
        fs::create_directory(dir_ + "/rx");
    }
    void TearDown() override {
        tool_.reset();
        far_.reset();
        if (line_) line_->Signal(SIGTERM);
        if (line_) line_->Wait(10s);
        line_.reset();
        fs::remove_all(dir_);
    }

    void StartLine(std::vector<std::string> extra) {
        std::vector<std::string> argv{kBin + "/linesim", "--link-a", dir_ + "/A", "--link-b", dir_ + "/B"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        line_ = Start(argv);
        ASSERT_FALSE(line_->WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    }
    // kavodown with the port number and the file on the command line, as a production script
    // runs it.
    void StartTool() {
        tool_ = Start({kBin + "/kavodown", kPort, firmware_},
                      {"QT_QPA_PLATFORM=offscreen", "KAVODOWN_CONFIG_DIR=" + dir_,
                       std::string("KAVODOWN_PORTS=") + kPort + "=" + dir_ + "/A"},
                      "", dir_ + "/stderr.txt");
    }
    std::string ToolStderr() { return ReadText(dir_ + "/stderr.txt"); }
    // The program's own lines on standard error (Qt may add warnings of its own).
    std::vector<std::string> ToolLines() {
        std::vector<std::string> lines;
        std::istringstream in(ToolStderr());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("kavodown:", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    std::string dir_, firmware_, content_;
    std::unique_ptr<ChildProcess> line_, far_, tool_;
};

TEST_F(KavodownAgainstReceivers, LrzszRxReceivesTheFileAndTheExitCodeIsZero) {
    StartLine({"--baud", "115200"});
    StartTool();
    // rx's first start character would be flushed if it came before the transfer began; with
    // the port open it is close enough (rx asks again after its own time-out anyway).
    EXPECT_TRUE(WaitOpened(tool_->Pid(), fs::canonical(dir_ + "/A").string(), 20s));
    far_ = Start({"socat", "FILE:" + dir_ + "/B,raw,echo=0", "EXEC:rx -c -X out.bin"}, {},
                 dir_ + "/rx", dir_ + "/rx.txt");
    EXPECT_EQ(tool_->Wait(120s), 0) << ToolStderr();
    EXPECT_EQ(far_->Wait(30s), 0) << ReadText(dir_ + "/rx.txt");
    EXPECT_TRUE(ToolLines().empty()) << ToolStderr();

    const std::string received = ReadText(dir_ + "/rx/out.bin");
    ASSERT_GE(received.size(), content_.size());
    EXPECT_LT(received.size(), content_.size() + 1024);
    EXPECT_TRUE(received.compare(0, content_.size(), content_) == 0) << "the received file differs";
    EXPECT_EQ(received.find_first_not_of('\x1A', content_.size()), std::string::npos)
        << "the padding is not 0x1A";
}

TEST_F(KavodownAgainstReceivers, AReceiverThatCancelsEndsWithTwoAndTheReasonOnStderr) {
    StartLine({"--baud", "0"});
    far_ = Start({kBin + "/termsim", dir_ + "/B", "--handshake-ms", "300", "--cancel-at-block", "4",
                  "--can-count", "2"});
    ASSERT_FALSE(far_->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
    StartTool();
    EXPECT_EQ(tool_->Wait(120s), 2) << ToolStderr();
    EXPECT_EQ(ToolLines(), std::vector<std::string>{"kavodown: transfer failed: Cancel requested (-6005)"})
        << ToolStderr();
    EXPECT_EQ(far_->Wait(30s), 3);  // the terminal ended by the cancel it was asked for
}

TEST_F(KavodownAgainstReceivers, ACableCutMidTransferEndsWithinSecondsWithTwo) {
    // Both ends hang up once 40000 bytes have gone towards the terminal.
    StartLine({"--baud", "115200", "--cut-a2b", "40000"});
    far_ = Start({kBin + "/termsim", dir_ + "/B", "--handshake-ms", "300"});
    ASSERT_FALSE(far_->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
    StartTool();
    ASSERT_EQ(line_->Wait(60s), 0) << "the line was not cut";
    const auto cut = std::chrono::steady_clock::now();
    const auto code = tool_->Wait(20s);
    ASSERT_TRUE(code.has_value()) << "kavodown did not end after the cut";
    EXPECT_LT(std::chrono::steady_clock::now() - cut, 10s);
    EXPECT_EQ(code, 2);
    // The port's device went away.
    EXPECT_EQ(ToolLines(), std::vector<std::string>{"kavodown: transfer failed: Aborting due to carrier loss (-6014)"})
        << ToolStderr();
}

}  // namespace
}  // namespace kavo::test
