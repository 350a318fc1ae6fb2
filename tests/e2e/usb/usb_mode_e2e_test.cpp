// The kavodown program in USB mode, unattended: it opens its port, waits for a terminal's FAT
// volume, copies the firmware into its Down folder, tells the terminal over the serial line, and
// ends with exit code 1 when a volume goes away, after saving its settings.
//
// The program reacts to every volume of the machine. So that volumes of other programs (or of
// other tests running at the same time) cannot end it early, each test runs in a mount namespace
// of its own where the system lets it make one.
#include "fat_volume.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

namespace kavo {
namespace {

namespace fs = std::filesystem;
using test::FatVolume;
using test::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 47;
const std::vector<std::uint8_t> kFirmwareReady{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds deadline) {
    auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A program of the build (kavodown, termsim, linesim) run as a child, its standard output read
// through a pipe; killed if the test leaves it running.
class Child {
public:
    Child(const std::string& name, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        program_ = std::string(KAVO_BIN_DIR) + "/" + name;
        const std::string& program = program_;
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            dup2(out[1], 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        outFd_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(outFd_);
    }

    // The exit code once the program has ended; -1 when it still runs at the deadline or died
    // of a signal.
    int WaitExit(std::chrono::milliseconds deadline) {
        if (exited_) return exitCode_;
        WaitUntil([&] {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
            exited_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }, deadline);
        return exited_ ? exitCode_ : -1;
    }
    void Signal(int signal) {
        if (!exited_) kill(pid_, signal);
    }
    // The next line of output that starts with `prefix`, empty at the deadline or end of output.
    std::string ReadLine(const std::string& prefix, std::chrono::milliseconds deadline) {
        auto end = Clock::now() + deadline;
        for (;;) {
            std::size_t newline;
            while ((newline = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line.starts_with(prefix)) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return {};
            pollfd p{outFd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[4096];
            ssize_t n = read(outFd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    std::string RestOfOutput() {
        char chunk[4096];
        ssize_t n;
        while ((n = read(outFd_, chunk, sizeof chunk)) > 0) buffer_.append(chunk, n);
        return buffer_;
    }
    // Whether the program holds `path` open. Until the child has become the program it still
    // holds the test's own descriptors, which do not count.
    bool HasOpen(const std::string& path) const {
        std::error_code ec;
        std::string proc = "/proc/" + std::to_string(pid_);
        if (fs::read_symlink(proc + "/exe", ec) != fs::canonical(program_, ec)) return false;
        std::string target = fs::canonical(path, ec).string();
        for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd.path(), linkEc).string() == target) return true;
        }
        return false;
    }

private:
    std::string program_;
    pid_t pid_ = -1;
    int outFd_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::string buffer_;
};

std::string IniValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    bool inSection = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inSection = line == "[OPTION]";
        } else if (inSection && line.starts_with(key + "=")) {
            return line.substr(key.size() + 1);
        }
    }
    return "<missing>";
}

class UsbModeProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = FatVolume::Unavailable();
        if (!why.empty()) GTEST_SKIP() << "FAT volumes cannot be mounted: " << why;
        if (access((std::string(KAVO_BIN_DIR) + "/kavodown").c_str(), X_OK) != 0) {
            GTEST_SKIP() << "kavodown is not built";
        }
        // Mounts made from here on (and by the children) stay in this namespace, and those of
        // the rest of the machine no longer reach it.
        if (unshare(CLONE_NEWNS) == 0) mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

        char pattern[] = "/tmp/kavo-e2e-usb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        firmware_.resize(70000);
        for (std::size_t i = 0; i < firmware_.size(); ++i) {
            firmware_[i] = static_cast<char>((i * 13 + i / 97) & 0xFF);
        }
        fileName_ = (dir_ / "KV5000 fw.bin").string();
        std::ofstream(fileName_, std::ios::binary) << firmware_;
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    std::vector<std::string> Environment(const std::string& portPath) const {
        return {"KAVODOWN_CONFIG_DIR=" + dir_.string(),
                "KAVODOWN_PORTS=" + std::to_string(kPort) + "=" + portPath,
                "QT_QPA_PLATFORM=offscreen"};
    }

    // The index that CB_PORT gives the port: its place in the port list sorted as text.
    int ExpectedPortIndex(const std::vector<std::string>& env) {
        Child lister("kavodown", {"--list-ports"}, env);
        EXPECT_EQ(lister.WaitExit(std::chrono::seconds(30)), 0);
        std::vector<std::string> names;
        std::istringstream lines(lister.RestOfOutput());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.starts_with("COM")) names.push_back(line.substr(3, line.find(' ') - 3));
        }
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return std::lexicographical_compare(
                a.begin(), a.end(), b.begin(), b.end(),
                [](char x, char y) { return std::toupper(x) < std::toupper(y); });
        });
        auto it = std::find(names.begin(), names.end(), std::to_string(kPort));
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    }

    // A volume made before the program starts, with or without a Down folder.
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

    void ExpectSettings(int portIndex) {
        std::string ini = ReadFile(dir_ / "Option.ini");
        EXPECT_EQ(IniValue(ini, "PORT"), std::to_string(portIndex)) << ini;
        EXPECT_EQ(IniValue(ini, "FNAME"), fileName_) << ini;
    }

    fs::path dir_;
    std::string firmware_;
    std::string fileName_;
};

TEST_F(UsbModeProgram, CopiesToTheFatVolumeTellsTheTerminalAndEndsWithOneOnRemoval) {
    PtyPair line;
    auto fat32 = Volume(32, 64 * 1024, true);
    auto fat16 = Volume(16, 32 * 1024, true);
    auto plain = Volume(16, 32 * 1024, false);
    auto env = Environment(line.DevicePath());
    int expectedIndex = ExpectedPortIndex(env);
    ASSERT_GE(expectedIndex, 0);

    Child program("kavodown", {std::to_string(kPort), fileName_, "usb"}, env);
    // The unattended start opens the port after 500 ms; the volume watcher runs before that.
    ASSERT_TRUE(WaitUntil([&] { return program.HasOpen(line.DevicePath()); },
                          std::chrono::seconds(30)))
        << "kavodown did not open its port";

    // Arrivals are handled in order: the FAT32 volume and the one without Down come first and
    // get nothing, the FAT16 one gets the file and the one command.
    fat32->Mount();
    plain->Mount();
    fat16->Mount();
    EXPECT_EQ(line.Read(6, std::chrono::seconds(20)), kFirmwareReady);
    std::string copied = ReadFile(fs::path(fat16->Root()) / "Down" / "KV5000 fw.bin");
    EXPECT_EQ(copied.size(), firmware_.size());
    EXPECT_TRUE(copied == firmware_);
    EXPECT_TRUE(fs::is_empty(fs::path(fat32->Root()) / "Down"));
    EXPECT_TRUE(fs::is_empty(plain->Root()));
    line.Write(std::vector<std::uint8_t>{0x06});

    // Removing any volume (here the unrelated one) ends the program with exit code 1.
    ASSERT_TRUE(plain->Unmount());
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(30)), 1);
    ExpectSettings(expectedIndex);
    // Nothing else went to the terminal.
    EXPECT_TRUE(line.ReadUntilQuiet(std::chrono::milliseconds(200), std::chrono::seconds(2))
                    .empty());
}

TEST_F(UsbModeProgram, WholePathWithTheTerminalSimulator) {
    if (access((std::string(KAVO_BIN_DIR) + "/termsim").c_str(), X_OK) != 0 ||
        access((std::string(KAVO_BIN_DIR) + "/linesim").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the simulators are not built";
    }
    Child cable("linesim", {"--baud", "115200"});
    std::string ready = cable.ReadLine("linesim: ready", std::chrono::seconds(20));
    ASSERT_FALSE(ready.empty()) << "linesim did not start";
    std::string endA = ready.substr(ready.find("A=") + 2);
    endA = endA.substr(0, endA.find(' '));
    std::string endB = ready.substr(ready.find("B=") + 2);
    endB = endB.substr(0, endB.find(' '));

    auto env = Environment(endB);
    int expectedIndex = ExpectedPortIndex(env);
    Child program("kavodown", {std::to_string(kPort), fileName_, "usb"}, env);
    ASSERT_TRUE(WaitUntil([&] { return program.HasOpen(endB); }, std::chrono::seconds(30)))
        << "kavodown did not open its port";

    // The terminal presents its FAT16 volume, takes the file and the command, ACKs it and
    // removes the volume again.
    Child terminal("termsim", {endA, "--usb", "--fat", "16", "--timeout-ms", "60000"});
    std::string summary = terminal.ReadLine("termsim: usb-delivered", std::chrono::seconds(60));
    EXPECT_NE(summary.find("KV5000 fw.bin"), std::string::npos) << summary;
    EXPECT_EQ(terminal.WaitExit(std::chrono::seconds(30)), 0) << terminal.RestOfOutput();
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(30)), 1);
    ExpectSettings(expectedIndex);
    cable.Signal(SIGTERM);
    cable.WaitExit(std::chrono::seconds(10));
}

}  // namespace
}  // namespace kavo
