// Unattended runs of kavodown against the terminal simulator over the line simulator: the whole
// program, its exit code and the file that arrived.
#include "child_process.h"
#include "support/read_file.h"

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
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child whose standard output the test reads line by line.
std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env = {}) {
    return std::make_unique<ChildProcess>(
        ChildProcess::Options{.argv = argv, .env = env, .out = ChildProcess::Output::Capture});
}

const std::string kBin = KAVO_BIN_DIR;

class KavodownTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_xfer_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        firmware_ = dir_ + "/firmware.bin";
        std::mt19937 rng(42);
        std::string data(70000 + 123, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(firmware_, std::ios::binary) << data;
        size_ = data.size();

        line_ = Start({kBin + "/linesim", "--baud", "0", "--link-a", dir_ + "/A", "--link-b",
                       dir_ + "/B"});
        ASSERT_FALSE(line_->WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    }
    void TearDown() override {
        if (line_) line_->Signal(SIGTERM);
        line_.reset();
        fs::remove_all(dir_);
    }

    std::unique_ptr<ChildProcess> StartTerminal(std::vector<std::string> extra) {
        std::vector<std::string> argv{kBin + "/termsim", dir_ + "/B", "--out", dir_ + "/out.bin",
                                      "--size", std::to_string(size_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto terminal = Start(argv);
        EXPECT_FALSE(terminal->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
        return terminal;
    }

    std::unique_ptr<ChildProcess> StartKavodown(const std::vector<std::string>& args) {
        std::vector<std::string> argv{kBin + "/kavodown"};
        argv.insert(argv.end(), args.begin(), args.end());
        return Start(argv, {"QT_QPA_PLATFORM=offscreen", "KAVODOWN_CONFIG_DIR=" + dir_,
                            "KAVODOWN_PORTS=3=" + dir_ + "/A"});
    }

    std::string dir_, firmware_;
    std::size_t size_ = 0;
    std::unique_ptr<ChildProcess> line_;
};

TEST_F(KavodownTransferTest, UnattendedRunSendsTheFileAndEndsWithZero) {
    auto terminal = StartTerminal({});
    auto tool = StartKavodown({"3", firmware_});
    EXPECT_EQ(tool->Wait(120s), 0);
    std::string summary = terminal->WaitLine("termsim:", 30s);
    EXPECT_NE(summary.find("received"), std::string::npos) << summary;
    EXPECT_EQ(terminal->Wait(30s), 0) << summary;
    const std::string received = ReadFile(dir_ + "/out.bin");
    EXPECT_EQ(received.size(), size_);
    EXPECT_TRUE(received == ReadFile(firmware_)) << "the received file differs";
    // The settings of the run were saved.
    std::string ini = ReadFile(dir_ + "/Option.ini");
    EXPECT_NE(ini.find("FNAME=" + firmware_), std::string::npos) << ini;
}

TEST_F(KavodownTransferTest, TransferThatTheTerminalCancelsEndsWithTwo) {
    auto terminal = StartTerminal({"--cancel-at-block", "3", "--can-count", "2"});
    auto tool = StartKavodown({"3", firmware_});
    EXPECT_EQ(tool->Wait(120s), 2);
    terminal->Wait(30s);
}

}  // namespace
}  // namespace kavo::test
