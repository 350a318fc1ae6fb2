// Unattended runs of kavodown against the terminal simulator over the line simulator: the whole
// program, its exit code and the file that arrived.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kavo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child process whose standard output the test reads line by line.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
    }

    // The next line that contains `text`, or empty after the deadline.
    std::string WaitLine(const std::string& text, std::chrono::milliseconds deadline) {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (true) {
            std::size_t nl;
            while ((nl = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (line.find(text) != std::string::npos) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit code, or -1 when the process did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds deadline) {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    void Signal(int signal) { ::kill(pid_, signal); }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    std::string buffer_;
};

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

        line_ = std::make_unique<Child>(std::vector<std::string>{
            kBin + "/linesim", "--baud", "0", "--link-a", dir_ + "/A", "--link-b", dir_ + "/B"});
        ASSERT_FALSE(line_->WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    }
    void TearDown() override {
        if (line_) line_->Signal(SIGTERM);
        line_.reset();
        fs::remove_all(dir_);
    }

    std::unique_ptr<Child> StartTerminal(std::vector<std::string> extra) {
        std::vector<std::string> argv{kBin + "/termsim", dir_ + "/B", "--out", dir_ + "/out.bin",
                                      "--size", std::to_string(size_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto terminal = std::make_unique<Child>(argv);
        EXPECT_FALSE(terminal->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
        return terminal;
    }

    std::unique_ptr<Child> StartKavodown(const std::vector<std::string>& args) {
        std::vector<std::string> argv{kBin + "/kavodown"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Child>(
            argv, std::vector<std::string>{"QT_QPA_PLATFORM=offscreen",
                                           "KAVODOWN_CONFIG_DIR=" + dir_,
                                           "KAVODOWN_PORTS=3=" + dir_ + "/A"});
    }

    std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_, firmware_;
    std::size_t size_ = 0;
    std::unique_ptr<Child> line_;
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
