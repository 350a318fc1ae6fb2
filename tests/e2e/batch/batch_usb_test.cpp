// kavodown --batch in USB storage mode: the run waits for the terminal's volume and for it to go
// away no longer than the silence limit, and each way it ends has its own exit code and line.
//
// The program reacts to every volume of the machine. So that volumes of other programs (or of
// other tests running at the same time) cannot end it early, the tests run in a mount namespace
// of their own where the system lets them make one, and otherwise take turns with the other tests
// that watch volumes.
#include "platform/exit_codes.h"
#include "child_process.h"
#include "fat_skip.h"
#include "fat_volume.h"
#include "pty_pair.h"
#include "support/read_file.h"
#include "support/volumes_apart.h"

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

#include <unistd.h>

namespace kavo::test {
using namespace kavo::sim;
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

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A program of the build run as a child; the test reads the stream `capturedFd` (1 or 2), the
// other one goes to /dev/null. Killed if the test leaves it running.
ChildProcess::Options Program(const std::string& name, const std::vector<std::string>& args,
                              const std::vector<std::string>& env, int capturedFd) {
    std::vector<std::string> argv{kBin + "/" + name};
    argv.insert(argv.end(), args.begin(), args.end());
    const bool toErr = capturedFd == 2;
    return {.argv = argv,
            .env = env,
            .out = toErr ? ChildProcess::Output::Null : ChildProcess::Output::Capture,
            .err = toErr ? ChildProcess::Output::Capture : ChildProcess::Output::Null};
}

class BatchUsbRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access((kBin + "/kavodown").c_str(), X_OK) != 0) GTEST_SKIP() << "no kavodown";
        KAVO_SKIP_WITHOUT_OWN_MOUNTS();
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

    // kavodown --batch [extra] 47 FILE usb on `portPath`, its standard error captured.
    std::unique_ptr<ChildProcess> StartKavodown(const std::string& portPath,
                                         const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--batch"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"47", fileName_, "usb"});
        auto program = std::make_unique<ChildProcess>(Program(
            "kavodown", args,
            {"KAVODOWN_CONFIG_DIR=" + dir_.string(), "KAVODOWN_PORTS=47=" + portPath}, 2));
        EXPECT_TRUE(WaitUntil([&] { return program->HasOpen(portPath); }, 30s))
            << "kavodown did not open its port";
        return program;
    }

    // The program ended with `code`, and its standard error is one line that contains `part`.
    static void ExpectEnd(ChildProcess& program, int code, const std::string& part,
                          std::chrono::milliseconds deadline = 30s) {
        EXPECT_EQ(program.Wait(deadline), code);
        const std::string err = program.ReadAll(10s);
        EXPECT_EQ(Lines(err).size(), 1u) << err;
        EXPECT_EQ(err.rfind("kavodown: ", 0), 0u) << err;
        EXPECT_NE(err.find(part), std::string::npos) << err;
    }

    // A run with a short silence limit that reaches the terminal's command that the firmware is
    // ready, then `after(line, program)`. The limit bounds the wait for the volume too, and that
    // wait covers the program's start, the mount and the copy, which a busy machine can stretch
    // beyond any fixed time: a run that saw no volume within its limit is tried again with twice
    // the limit. A program that never sees its volume fails at the longest one all the same.
    template <typename After>
    void RunUntilTheFirmwareIsReady(After after) {
        for (int limit = 3;; limit *= 2) {
            SCOPED_TRACE("--silence-limit " + std::to_string(limit));
            PtyPair line;
            auto volume = MakeTerminalVolume(16, 32 * 1024, true);
            auto program = StartKavodown(line.DevicePath(), {"--silence-limit", std::to_string(limit)});
            volume->Mount();
            std::vector<std::uint8_t> told;
            while (told.size() < kFirmwareReady.size()) {
                const bool ended = program->Poll().has_value();
                const auto more = line.Read(kFirmwareReady.size() - told.size(), ended ? 1s : 100ms);
                told.insert(told.end(), more.begin(), more.end());
                if (ended) break;
            }
            if (told.empty() && program->Poll() == kExitNoVolume && limit < kLongestLimit) continue;
            EXPECT_EQ(told, kFirmwareReady);
            EXPECT_TRUE(ReadFile(fs::path(volume->Root()) / "Down" / "KV5000 fw.bin") == firmware_);
            after(line, *program);
            return;
        }
    }
    static constexpr int kLongestLimit = 24;

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
    KAVO_SKIP_WITHOUT_FAT();
    if (::access((kBin + "/termsim").c_str(), X_OK) != 0 ||
        ::access((kBin + "/linesim").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the simulators are not built";
    }
    ChildProcess cable(Program("linesim", {"--baud", "0", "--link-a", (dir_ / "A").string(),
                                           "--link-b", (dir_ / "B").string()},
                               {}, 1));
    ASSERT_FALSE(cable.WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    auto program = StartKavodown((dir_ / "A").string(), {"--silence-limit", "60"});

    // The terminal presents its FAT16 volume, takes the file and the command, ACKs it and
    // removes the volume again.
    ChildProcess terminal(Program("termsim", {(dir_ / "B").string(), "--usb", "--fat", "16",
                                              "--timeout-ms", "60000"},
                                  {}, 1));
    const std::string summary = terminal.WaitLine("termsim: usb-delivered", 60s);
    EXPECT_NE(summary.find("KV5000 fw.bin"), std::string::npos) << summary;
    EXPECT_EQ(terminal.Wait(30s), 0);
    ExpectEnd(*program, kExitVolumeRemoved, "firmware copied to ");
    cable.Signal(SIGTERM);
    cable.Wait(10s);
}

TEST_F(BatchUsbRunTest, StopsAfterTheVolumeArrivedEndTheRunWithTheirCodes) {
    KAVO_SKIP_WITHOUT_FAT();
    {
        SCOPED_TRACE("a volume removed before the firmware reached a terminal is no success");
        PtyPair line;
        auto plain = MakeTerminalVolume(16, 32 * 1024, false);
        auto program = StartKavodown(line.DevicePath());
        plain->Mount();
        ASSERT_TRUE(plain->Unmount());
        ExpectEnd(*program, kExitOtherError, "went away before the firmware was copied");
    }
    {
        SCOPED_TRACE("the terminal takes the file but neither answers nor removes its volume");
        RunUntilTheFirmwareIsReady([&](PtyPair&, ChildProcess& program) {
            ExpectEnd(program, kExitNoAnswer, "did not acknowledge the firmware");
        });
    }
    {
        SCOPED_TRACE("the terminal answers but keeps its volume");
        RunUntilTheFirmwareIsReady([&](PtyPair& line, ChildProcess& program) {
            line.Write(std::vector<std::uint8_t>{0x06});
            ExpectEnd(program, kExitOtherError, "kept its volume");
        });
    }
}

TEST_F(BatchUsbRunTest, CopyThatDoesNotFitEndsTheRunAtOnce) {
    KAVO_SKIP_WITHOUT_FAT();
    PtyPair line;
    MakeFirmware(600 * 1024);
    auto small = MakeTerminalVolume(12, 256, true);
    // A long limit: the run must end because of the copy, not because of a wait.
    auto program = StartKavodown(line.DevicePath(), {"--silence-limit", "600"});
    small->Mount();
    ExpectEnd(*program, kExitOtherError, "could not be copied to ", 60s);
    // No half image under the firmware's name.
    EXPECT_FALSE(fs::exists(fs::path(small->Root()) / "Down" / "KV5000 fw.bin"));
}

}  // namespace
}  // namespace kavo::test
