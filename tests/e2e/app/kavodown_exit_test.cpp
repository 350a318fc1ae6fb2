// The kavodown program itself: started offscreen, ended the way the operator's exit button ends
// it (SIGTERM acts as that button), and its own options.
#include "child_process.h"
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;

const std::string kProgram = std::string(KAVO_BIN_DIR) + "/kavodown";

// kavodown with its standard output in `outputPath`.
std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args, const std::string& configDir,
                                    const std::string& outputPath = "/dev/null") {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = argv,
        .env = {"QT_QPA_PLATFORM=offscreen", "KAVODOWN_CONFIG_DIR=" + configDir,
                "KAVODOWN_PORTS=3=/dev/null"},
        .out = ChildProcess::Output::File,
        .outPath = outputPath});
}

// True once the process handles `signal` itself (its handler is installed).
bool Catches(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask >> (signal - 1)) & 1;
        }
    }
    return false;
}

class KavodownTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

TEST_F(KavodownTest, ExitPathEndsWithZeroAfterWritingOptionIni) {
    auto program = Start({}, dir_);
    const pid_t pid = program->Pid();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Catches(pid, SIGTERM) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(Catches(pid, SIGTERM)) << "kavodown did not come up";
    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(std::chrono::seconds(30)), 0);
    const std::string ini = dir_ + "/Option.ini";
    ASSERT_TRUE(fs::exists(ini));
    EXPECT_EQ(ReadProfileString("OPTION", "PORT", ini).value_or("?"), "0");
    EXPECT_EQ(ReadProfileString("OPTION", "FNAME", ini).value_or("?"),
              std::string(KAVO_BIN_DIR) + "/");
}

TEST_F(KavodownTest, OwnOptionsAnswerAndExitWithoutAWindow) {
    const std::string out = dir_ + "/out.txt";
    EXPECT_EQ(Start({"--list-ports"}, dir_, out)->Wait(std::chrono::seconds(30)), 0);
    std::stringstream listing;
    listing << std::ifstream(out).rdbuf();
    EXPECT_NE(listing.str().find("COM3  /dev/null  KAVODOWN_PORTS  [not a serial device]\n"),
              std::string::npos)
        << listing.str();

    EXPECT_EQ(Start({"--help"}, dir_, out)->Wait(std::chrono::seconds(30)), 0);
    std::stringstream help;
    help << std::ifstream(out).rdbuf();
    EXPECT_NE(help.str().find("Usage: kavodown"), std::string::npos);

    EXPECT_EQ(Start({"--no-such-option"}, dir_, out)->Wait(std::chrono::seconds(30)), 64);
    EXPECT_FALSE(fs::exists(dir_ + "/Option.ini"));  // no window ran, nothing was saved
}

}  // namespace
}  // namespace kavo::test
