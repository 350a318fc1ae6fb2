// kavodown --station --batch --usb against line and terminal simulators in USB storage mode. Each
// simulated terminal is one USB device of a simulated sysfs (KAVODOWN_SYSFS): the line
// simulator's end A (the slot) is its serial interface, the terminal simulator's FAT volume its
// storage. Each slot's run must take only the volume of its own terminal, while the volumes of
// all terminals come and go at once.
//
// Each test runs in a mount namespace of its own where the system lets it make one, and otherwise
// takes turns with the other tests that watch volumes, so that the volumes of other tests never
// reach its station.
#include "child_process.h"
#include "fat_skip.h"
#include "pty_pair.h"
#include "support/read_file.h"
#include "support/volumes_apart.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>


namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBin = KAVO_BIN_DIR;

class StationUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        KAVO_SKIP_WITHOUT_FAT();
        KAVO_SKIP_WITHOUT_OWN_MOUNTS();
        firmware_ = dir_ + "/KV100 usb.bin";
        std::mt19937 rng(5);
        std::string data(90000 + 17, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(firmware_, std::ios::binary) << data;
    }
    void TearDown() override {
        station_.reset();
        children_.clear();
    }

    std::string Slot(int k) const { return dir_ + "/slot" + std::to_string(k); }
    std::string Output(int k) const { return dir_ + "/out" + std::to_string(k) + ".bin"; }

    // The folder of USB device `k` in the simulated sysfs, with its ids and serial number.
    std::string UsbDevice(int k) {
        const fs::path device = fs::path(sys_) / "devices/pci0000:00/0000:00:14.0/usb1" / ("1-" + std::to_string(k));
        fs::create_directories(device);
        std::ofstream(device / "idVendor") << "1d6b\n";
        std::ofstream(device / "idProduct") << "0104\n";
        std::ofstream(device / "serial") << "KV100-000" << k << "\n";
        return device.string();
    }

    void StartStation(int slots, int silenceLimit, int units) {
        std::vector<std::string> argv{kBin + "/kavodown", "--station", "--batch", "--usb",
                                      "--silence-limit", std::to_string(silenceLimit),
                                      "--units", std::to_string(units), "--results", dir_ + "/results.csv"};
        for (int k = 1; k <= slots; ++k) argv.insert(argv.end(), {"--slot", Slot(k)});
        argv.push_back(firmware_);
        station_ = std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = argv,
            .env = {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS", "KAVODOWN_SYSFS=" + sys_},
            .in = ChildProcess::Input::Null,
            .out = ChildProcess::Output::File,
            .err = ChildProcess::Output::Capture,
            .outPath = dir_ + "/records.out"});
        ASSERT_FALSE(station_->WaitLine("slot(s)", 20s).empty()) << "the station did not start";
    }

    // Plugs terminal `k` into slot `k`: its serial port on USB device `serialOn`, its volume on
    // USB device `volumeOn` (the same one for a real terminal).
    void Plug(int k, const std::string& serialOn, const std::string& volumeOn, int timeoutMs,
              const std::vector<std::string>& faults = {}) {
        const std::string b = dir_ + "/b" + std::to_string(k);
        auto& line = children_.emplace_back(std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = {kBin + "/linesim", "--baud", "0", "--sysfs", sys_, "--usb-device-a", serialOn,
                     "--link-a", Slot(k), "--link-b", b},
            .out = ChildProcess::Output::Capture, .err = ChildProcess::Output::Null, .stopSignal = SIGTERM}));
        ASSERT_FALSE(line->WaitLine("linesim: ready", 20s).empty()) << "the line of slot " << k;
        std::vector<std::string> argv{kBin + "/termsim", b, "--usb", "--sysfs", sys_, "--usb-device", volumeOn,
                                      "--out", Output(k), "--timeout-ms", std::to_string(timeoutMs)};
        argv.insert(argv.end(), faults.begin(), faults.end());
        auto& terminal = children_.emplace_back(std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = argv, .out = ChildProcess::Output::Capture, .err = ChildProcess::Output::Null,
            .stopSignal = SIGTERM}));
        terminals_.push_back(terminal.get());
    }

    // "slot code outcome usb_serial sha-ok" per record, through python3's csv module.
    std::string Records() {
        const std::string script =
            "import csv,sys\n"
            "for r in sorted(csv.DictReader(open(sys.argv[1], newline='')), key=lambda r: r['slot']):\n"
            "    print(r['slot'], r['code'], r['outcome'].split(':')[0], r['usb_serial'],"
            " r['sha256']==sys.argv[2])\n";
        ChildProcess sum({.argv = {"/usr/bin/sha256sum", firmware_}, .out = ChildProcess::Output::Capture});
        const std::string sha = sum.ReadAll(30s).substr(0, 64);
        ChildProcess python({.argv = {"/usr/bin/python3", "-c", script, dir_ + "/results.csv", sha},
                             .out = ChildProcess::Output::Capture, .err = ChildProcess::Output::Capture});
        std::string out = python.ReadAll(30s);
        EXPECT_EQ(python.Wait(30s), 0) << out;
        return out;
    }

    TempDir tmp_{"kavo_station_usb"};
    const std::string dir_ = tmp_.Path().string();
    const std::string sys_ = dir_ + "/sys";
    std::string firmware_;
    std::unique_ptr<ChildProcess> station_;
    std::list<std::unique_ptr<ChildProcess>> children_;
    std::vector<ChildProcess*> terminals_;
};

TEST_F(StationUsbTest, EachTerminalTakesTheFileOnItsOwnVolumeAndIsRecordedWhenItGoesAway) {
    StartStation(3, 30, 3);
    // Three terminals at once: three volumes appear within moments of each other, and each
    // slot's run sees all three.
    for (int k = 1; k <= 3; ++k) Plug(k, UsbDevice(k), UsbDevice(k), 60000);
    EXPECT_EQ(station_->Wait(90s), 0) << station_->ReadAll(1s);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(terminals_[k - 1]->Wait(30s), 0) << "terminal " << k << ": " << terminals_[k - 1]->ReadAll(1s);
        EXPECT_TRUE(ReadFile(Output(k)) == ReadFile(firmware_)) << "terminal " << k << " got another file";
    }
    // A flashed unit in USB storage mode has the code of a single run's normal end, 1.
    EXPECT_EQ(Records(), "slot1 1 flashed KV100-0001 True\n"
                         "slot2 1 flashed KV100-0002 True\n"
                         "slot3 1 flashed KV100-0003 True\n");
}

TEST_F(StationUsbTest, AVolumeOfAnotherUsbDeviceIsLeftAloneAndTheSlotFailsWithoutOne) {
    StartStation(2, 6, 2);
    // Terminal 2's volume shows on USB device 9, which is no slot's.
    Plug(1, UsbDevice(1), UsbDevice(1), 60000);
    Plug(2, UsbDevice(2), UsbDevice(9), 9000);
    EXPECT_EQ(station_->Wait(90s), 2) << station_->ReadAll(1s);
    EXPECT_EQ(terminals_[0]->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(Output(1)) == ReadFile(firmware_));
    // Nobody wrote to the foreign volume: its terminal waited for a file until its time ran out.
    EXPECT_NE(terminals_[1]->Wait(30s), 0);
    EXPECT_FALSE(fs::exists(Output(2)) && fs::file_size(Output(2)) > 0);
    EXPECT_EQ(Records(), "slot1 1 flashed KV100-0001 True\n"
                         "slot2 10 no terminal volume (FAT with a Down folder) appeared within 6 s; "
                         "check the terminal's USB cable and that it is in download mode KV100-0002 True\n");
}

// A terminal that refuses the firmware (NAK to 0xD1 "E") and removes its volume anyway is no
// flashed unit: the run ends with 7, not with the 1 of a terminal that took it.
TEST_F(StationUsbTest, ATerminalThatRefusesTheFirmwareAndRemovesItsVolumeIsRecordedAsFailed) {
    StartStation(2, 20, 2);
    Plug(1, UsbDevice(1), UsbDevice(1), 60000, {"--usb-refuse"});
    Plug(2, UsbDevice(2), UsbDevice(2), 60000);
    EXPECT_EQ(station_->Wait(90s), 2) << station_->ReadAll(1s);
    EXPECT_EQ(terminals_[0]->Wait(30s), 3);  // ended by the requested fault
    EXPECT_EQ(terminals_[1]->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(Output(2)) == ReadFile(firmware_));
    const std::string records = Records();
    EXPECT_NE(records.find("slot1 7 the terminal on COM"), std::string::npos) << records;
    EXPECT_NE(records.find("did not acknowledge the firmware copied to "), std::string::npos) << records;
    EXPECT_NE(records.find("slot2 1 flashed KV100-0002 True"), std::string::npos) << records;
}

// A single run told to take its port's own volume, on a port that is on no USB device, says so
// at once instead of waiting for a volume that can never be its own.
TEST_F(StationUsbTest, ASingleRunOnAPortWithoutAUsbDeviceEndsAtOnce) {
    PtyPair line;
    fs::create_directories(sys_);
    ChildProcess run({.argv = {kBin + "/kavodown", "--batch", "--device", line.DevicePath(),
                               "--same-usb-device", firmware_, "USB"},
                      .env = {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS", "KAVODOWN_SYSFS=" + sys_,
                              "QT_QPA_PLATFORM=offscreen"},
                      .in = ChildProcess::Input::Null, .out = ChildProcess::Output::Null,
                      .err = ChildProcess::Output::Capture});
    EXPECT_EQ(run.Wait(60s), 9);
    const std::string err = run.ReadAll(5s);
    EXPECT_NE(err.find("--same-usb-device: the port's device " + line.DevicePath() +
                       " is on no USB device"), std::string::npos) << err;
}

}  // namespace
}  // namespace kavo::test
