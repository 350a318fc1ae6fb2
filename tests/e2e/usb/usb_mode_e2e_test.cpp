// The kavodown program in USB mode, unattended: it opens its port, waits for a terminal's FAT
// volume, copies the firmware into its Down folder, tells the terminal over the serial line, and
// ends with exit code 1 when a volume goes away, after saving its settings.
//
// The program reacts to every volume of the machine. So that volumes of other programs (or of
// other tests running at the same time) cannot end it early, each test runs in a mount namespace
// of its own where the system lets it make one, and otherwise takes turns with the other tests
// that watch volumes.
#include "child_process.h"
#include "fat_skip.h"
#include "fat_volume.h"
#include "pty_pair.h"
#include "support/read_file.h"
#include "support/volumes_apart.h"

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

#include <unistd.h>

namespace kavo {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;
using sim::ChildProcess;
using sim::FatVolume;
using sim::MakeTerminalVolume;
using sim::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 47;
const std::vector<std::uint8_t> kFirmwareReady{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97};

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds deadline) {
    auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A program of the build (kavodown, termsim, linesim) run as a child, its standard output
// captured; killed if the test leaves it running.
ChildProcess::Options Program(const std::string& name, const std::vector<std::string>& args,
                              const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv{std::string(KAVO_BIN_DIR) + "/" + name};
    argv.insert(argv.end(), args.begin(), args.end());
    return {.argv = argv, .env = env, .out = ChildProcess::Output::Capture};
}

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
        KAVO_SKIP_WITHOUT_FAT();
        if (access((std::string(KAVO_BIN_DIR) + "/kavodown").c_str(), X_OK) != 0) {
            GTEST_SKIP() << "kavodown is not built";
        }
        KAVO_SKIP_WITHOUT_OWN_MOUNTS();

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
        ChildProcess lister(Program("kavodown", {"--list-ports"}, env));
        EXPECT_EQ(lister.Wait(std::chrono::seconds(30)), 0);
        std::vector<std::string> names;
        std::istringstream lines(lister.ReadAll(std::chrono::seconds(10)));
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
    auto fat32 = MakeTerminalVolume(32, 64 * 1024, true);
    auto fat16 = MakeTerminalVolume(16, 32 * 1024, true);
    auto plain = MakeTerminalVolume(16, 32 * 1024, false);
    auto env = Environment(line.DevicePath());
    int expectedIndex = ExpectedPortIndex(env);
    ASSERT_GE(expectedIndex, 0);

    ChildProcess program(Program("kavodown", {std::to_string(kPort), fileName_, "usb"}, env));
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
    EXPECT_EQ(program.Wait(std::chrono::seconds(30)), 1);
    ExpectSettings(expectedIndex);
    // Nothing else went to the terminal.
    EXPECT_TRUE(line.ReadUntilQuiet(std::chrono::milliseconds(200), std::chrono::seconds(2))
                    .empty());
}

// A terminal that restarts with its new firmware takes its disk away before its volume's mount
// goes: by then what the mount came from (here the image file) is gone. The removal still ends
// the mode.
TEST_F(UsbModeProgram, RemovalOfAVolumeWhoseDiskIsGoneAlreadyEndsWithOne) {
    PtyPair line;
    auto fat16 = MakeTerminalVolume(16, 32 * 1024, true);
    auto env = Environment(line.DevicePath());
    ChildProcess program(Program("kavodown", {std::to_string(kPort), fileName_, "usb"}, env));
    ASSERT_TRUE(WaitUntil([&] { return program.HasOpen(line.DevicePath()); },
                          std::chrono::seconds(30)))
        << "kavodown did not open its port";
    fat16->Mount();
    EXPECT_EQ(line.Read(6, std::chrono::seconds(20)), kFirmwareReady);
    line.Write(std::vector<std::uint8_t>{0x06});
    ASSERT_EQ(::unlink(fat16->ImagePath().c_str()), 0);
    ASSERT_TRUE(fat16->Unmount());
    EXPECT_EQ(program.Wait(std::chrono::seconds(30)), 1);
}

TEST_F(UsbModeProgram, WholePathWithTheTerminalSimulator) {
    if (access((std::string(KAVO_BIN_DIR) + "/termsim").c_str(), X_OK) != 0 ||
        access((std::string(KAVO_BIN_DIR) + "/linesim").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the simulators are not built";
    }
    ChildProcess cable(Program("linesim", {"--baud", "115200"}));
    std::string ready = cable.WaitLine("linesim: ready", std::chrono::seconds(20));
    ASSERT_FALSE(ready.empty()) << "linesim did not start";
    std::string endA = ready.substr(ready.find("A=") + 2);
    endA = endA.substr(0, endA.find(' '));
    std::string endB = ready.substr(ready.find("B=") + 2);
    endB = endB.substr(0, endB.find(' '));

    auto env = Environment(endB);
    int expectedIndex = ExpectedPortIndex(env);
    ChildProcess program(Program("kavodown", {std::to_string(kPort), fileName_, "usb"}, env));
    ASSERT_TRUE(WaitUntil([&] { return program.HasOpen(endB); }, std::chrono::seconds(30)))
        << "kavodown did not open its port";

    // The terminal presents its FAT16 volume, takes the file and the command, ACKs it and
    // removes the volume again.
    ChildProcess terminal(Program("termsim", {endA, "--usb", "--fat", "16", "--timeout-ms", "60000"}));
    std::string summary = terminal.WaitLine("termsim: usb-delivered", std::chrono::seconds(60));
    EXPECT_NE(summary.find("KV5000 fw.bin"), std::string::npos) << summary;
    EXPECT_EQ(terminal.Wait(std::chrono::seconds(30)), 0) << terminal.ReadAll(std::chrono::seconds(10));
    EXPECT_EQ(program.Wait(std::chrono::seconds(30)), 1);
    ExpectSettings(expectedIndex);
    cable.Signal(SIGTERM);
    cable.Wait(std::chrono::seconds(10));
}

}  // namespace
}  // namespace kavo
