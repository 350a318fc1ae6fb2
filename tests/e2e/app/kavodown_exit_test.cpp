// The kavodown program itself: started offscreen, ended the way the operator's exit button ends
// it (SIGTERM acts as that button), and its own options.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kavo::test {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = std::string(KAVO_BIN_DIR) + "/kavodown";

pid_t Start(const std::vector<std::string>& args, const std::string& configDir,
            const std::string& outputPath = "/dev/null") {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("KAVODOWN_CONFIG_DIR", configDir.c_str(), 1);
        ::setenv("KAVODOWN_PORTS", "3=/dev/null", 1);
        FILE* out = std::fopen(outputPath.c_str(), "w");
        if (out) ::dup2(fileno(out), 1);
        std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(kProgram.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
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

// Waits for the process to end; its exit code, or -1 on a time-out (the process is then killed).
int WaitExit(pid_t pid, std::chrono::seconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
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
    pid_t pid = Start({}, dir_);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Catches(pid, SIGTERM) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(Catches(pid, SIGTERM)) << "kavodown did not come up";
    ::kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, std::chrono::seconds(30)), 0);
    const std::string ini = dir_ + "/Option.ini";
    ASSERT_TRUE(fs::exists(ini));
    EXPECT_EQ(ReadProfileString("OPTION", "PORT", ini).value_or("?"), "0");
    EXPECT_EQ(ReadProfileString("OPTION", "FNAME", ini).value_or("?"),
              std::string(KAVO_BIN_DIR) + "/");
}

TEST_F(KavodownTest, OwnOptionsAnswerAndExitWithoutAWindow) {
    const std::string out = dir_ + "/out.txt";
    EXPECT_EQ(WaitExit(Start({"--list-ports"}, dir_, out), std::chrono::seconds(30)), 0);
    std::stringstream listing;
    listing << std::ifstream(out).rdbuf();
    EXPECT_NE(listing.str().find("COM3  /dev/null  KAVODOWN_PORTS  [not a serial device]\n"),
              std::string::npos)
        << listing.str();

    EXPECT_EQ(WaitExit(Start({"--help"}, dir_, out), std::chrono::seconds(30)), 0);
    std::stringstream help;
    help << std::ifstream(out).rdbuf();
    EXPECT_NE(help.str().find("Usage: kavodown"), std::string::npos);

    EXPECT_EQ(WaitExit(Start({"--no-such-option"}, dir_, out), std::chrono::seconds(30)), 64);
    EXPECT_FALSE(fs::exists(dir_ + "/Option.ini"));  // no window ran, nothing was saved
}

}  // namespace
}  // namespace kavo::test
