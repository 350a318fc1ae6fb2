// kavodown --batch in USB storage mode: the run waits for the terminal's volume and for it to go
// away no longer than the silence limit, and each way it ends has its own exit code and line.
//
// The program reacts to every volume of the machine. So that volumes of other programs (or of
// other tests running at the same time) cannot end it early, the tests run in a mount namespace
// of their own where the system lets them make one.
#include "app/exit_codes.h"
#include "fat_volume.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBin = KAVO_BIN_DIR;
const std::vector<std::uint8_t> kFirmwareReady{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97};

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds deadline) {
    auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A program of the build run as a child; the test reads the stream `capturedFd` (1 or 2), the
// other one goes to /dev/null. Killed if the test leaves it running.
class Child {
public:
    Child(const std::string& name, const std::vector<std::string>& args,
          const std::vector<std::string>& env, int capturedFd) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        program_ = kBin + "/" + name;
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(out[1], capturedFd);
            int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, capturedFd == 1 ? 2 : 1);
            for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv{const_cast<char*>(program_.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program_.c_str(), argv.data());
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
        ::close(fd_);
    }

    // The exit code, or -1 when the program still runs at the deadline or died of a signal.
    int WaitExit(std::chrono::milliseconds deadline) {
        if (exited_) return exitCode_;
        WaitUntil([&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
            exited_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }, deadline);
        return exited_ ? exitCode_ : -1;
    }
    void Signal(int signal) {
        if (!exited_) ::kill(pid_, signal);
    }
    // The next line that contains `text`, empty at the deadline or the end of the output.
    std::string WaitLine(const std::string& text, std::chrono::milliseconds deadline) {
        auto end = Clock::now() + deadline;
        for (;;) {
            std::size_t newline;
            while ((newline = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line.find(text) != std::string::npos) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return {};
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[4096];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Everything not read yet, up to the end of the output (call after the program has ended).
    std::string RestOfOutput() {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd_, chunk, sizeof chunk)) > 0) buffer_.append(chunk, n);
        std::string rest;
        rest.swap(buffer_);
        return rest;
    }
    // Whether the program holds `path` open. Until the child has become the program it still
    // holds the test's own descriptors, which do not count.
    bool HasOpen(const std::string& path) const {
        std::error_code ec;
        const std::string proc = "/proc/" + std::to_string(pid_);
        if (fs::read_symlink(proc + "/exe", ec) != fs::canonical(program_, ec)) return false;
        const std::string target = fs::canonical(path, ec).string();
        for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd.path(), linkEc).string() == target) return true;
        }
        return false;
    }

private:
    std::string program_;
    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::string buffer_;
};

class BatchUsbRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access((kBin + "/kavodown").c_str(), X_OK) != 0) GTEST_SKIP() << "no kavodown";
        // Mounts made from here on (and by the children) stay in this namespace, and those of
        // the rest of the machine no longer reach it.
        if (::unshare(CLONE_NEWNS) == 0) ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        char pattern[] = "/tmp/kavo_batch_usb_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        MakeFirmware(70000);
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void MakeFirmware(std::size_t size) {
        firmware_.resize(size);
        for (std::size_t i = 0; i < size; ++i) firmware_[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        fileName_ = (dir_ / "KV5000 fw.bin").string();
        std::ofstream(fileName_, std::ios::binary | std::ios::trunc) << firmware_;
    }

    static void SkipWithoutFat() {
        const std::string why = FatVolume::Unavailable();
        if (!why.empty()) GTEST_SKIP() << "FAT volumes cannot be mounted: " << why;
    }

    // kavodown --batch [extra] 47 FILE usb on `portPath`, its standard error captured.
    std::unique_ptr<Child> StartKavodown(const std::string& portPath,
                                         const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--batch"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"47", fileName_, "usb"});
        auto program = std::make_unique<Child>(
            "kavodown", args,
            std::vector<std::string>{"KAVODOWN_CONFIG_DIR=" + dir_.string(),
                                     "KAVODOWN_PORTS=47=" + portPath},
            2);
        EXPECT_TRUE(WaitUntil([&] { return program->HasOpen(portPath); }, 30s))
            << "kavodown did not open its port";
        return program;
    }

    // A FAT volume with a Down folder (or without), made before it is mounted for the program.
    std::unique_ptr<FatVolume> Volume(int fatBits, int sizeKiB, bool withDown) {
        FatVolume::Options options;
        options.fatBits = fatBits;
        options.sizeKiB = sizeKiB;
        auto volume = std::make_unique<FatVolume>(options);
        if (withDown) {
            volume->Mount();
            fs::create_directories(fs::path(volume->Root()) / "Down");
            EXPECT_TRUE(volume->Unmount());
        }
        return volume;
    }

    // The program ended with `code`, and its standard error is one line that contains `part`.
    static void ExpectEnd(Child& program, int code, const std::string& part,
                          std::chrono::milliseconds deadline = 30s) {
        EXPECT_EQ(program.WaitExit(deadline), code);
        const std::string err = program.RestOfOutput();
        EXPECT_EQ(Lines(err).size(), 1u) << err;
        EXPECT_EQ(err.rfind("kavodown: ", 0), 0u) << err;
        EXPECT_NE(err.find(part), std::string::npos) << err;
    }

    fs::path dir_;
    std::string firmware_;
    std::string fileName_;
};

TEST_F(BatchUsbRunTest, NoVolumeEndsWithItsOwnCodeWithinTheSilenceLimit) {
    PtyPair line;
    const auto start = Clock::now();
    auto program = StartKavodown(line.DevicePath(), {"--silence-limit", "2"});
    // Generous against a slow machine, far below the wait without a limit.
    ExpectEnd(*program, kExitNoVolume, "no terminal volume", 30s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(took.count(), 2000) << "ended before the limit";
    // Nothing went to the terminal (no DDD asked for, no volume to tell it about).
    EXPECT_TRUE(line.ReadUntilQuiet(100ms, 1s).empty());
    // The settings are saved as on every other end of the window.
    EXPECT_NE(ReadFile(dir_ / "Option.ini").find(fileName_), std::string::npos);
}

TEST_F(BatchUsbRunTest, SucceedsAgainstTheTerminalSimulator) {
    SkipWithoutFat();
    if (::access((kBin + "/termsim").c_str(), X_OK) != 0 ||
        ::access((kBin + "/linesim").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the simulators are not built";
    }
    Child cable("linesim", {"--baud", "0", "--link-a", (dir_ / "A").string(), "--link-b",
                            (dir_ / "B").string()},
                {}, 1);
    ASSERT_FALSE(cable.WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    auto program = StartKavodown((dir_ / "A").string(), {"--silence-limit", "60"});

    // The terminal presents its FAT16 volume, takes the file and the command, ACKs it and
    // removes the volume again.
    Child terminal("termsim", {(dir_ / "B").string(), "--usb", "--fat", "16", "--timeout-ms", "60000"},
                   {}, 1);
    const std::string summary = terminal.WaitLine("termsim: usb-delivered", 60s);
    EXPECT_NE(summary.find("KV5000 fw.bin"), std::string::npos) << summary;
    EXPECT_EQ(terminal.WaitExit(30s), 0);
    ExpectEnd(*program, kExitVolumeRemoved, "firmware copied to ");
    cable.Signal(SIGTERM);
    cable.WaitExit(10s);
}

TEST_F(BatchUsbRunTest, StopsAfterTheVolumeArrivedEndTheRunWithTheirCodes) {
    SkipWithoutFat();
    {
        SCOPED_TRACE("a volume removed before the firmware reached a terminal is no success");
        PtyPair line;
        auto plain = Volume(16, 32 * 1024, false);
        auto program = StartKavodown(line.DevicePath());
        plain->Mount();
        ASSERT_TRUE(plain->Unmount());
        ExpectEnd(*program, kExitOtherError, "went away before the firmware was copied");
    }
    {
        SCOPED_TRACE("the terminal takes the file but neither answers nor removes its volume");
        PtyPair line;
        auto fat16 = Volume(16, 32 * 1024, true);
        auto program = StartKavodown(line.DevicePath(), {"--silence-limit", "3"});
        fat16->Mount();
        EXPECT_EQ(line.Read(6, 20s), kFirmwareReady);
        EXPECT_TRUE(ReadFile(fs::path(fat16->Root()) / "Down" / "KV5000 fw.bin") == firmware_);
        ExpectEnd(*program, kExitNoAnswer, "did not acknowledge the firmware");
    }
    {
        SCOPED_TRACE("the terminal answers but keeps its volume");
        PtyPair line;
        auto fat16 = Volume(16, 32 * 1024, true);
        auto program = StartKavodown(line.DevicePath(), {"--silence-limit", "3"});
        fat16->Mount();
        EXPECT_EQ(line.Read(6, 20s), kFirmwareReady);
        line.Write(std::vector<std::uint8_t>{0x06});
        ExpectEnd(*program, kExitOtherError, "kept its volume");
    }
}

TEST_F(BatchUsbRunTest, CopyThatDoesNotFitEndsTheRunAtOnce) {
    SkipWithoutFat();
    PtyPair line;
    MakeFirmware(600 * 1024);
    auto small = Volume(12, 256, true);
    // A long limit: the run must end because of the copy, not because of a wait.
    auto program = StartKavodown(line.DevicePath(), {"--silence-limit", "600"});
    small->Mount();
    ExpectEnd(*program, kExitOtherError, "could not be copied to ", 60s);
    // No half image under the firmware's name.
    EXPECT_FALSE(fs::exists(fs::path(small->Root()) / "Down" / "KV5000 fw.bin"));
}

}  // namespace
}  // namespace kavo::test
