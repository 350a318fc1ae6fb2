// kavodown --station --batch against line and terminal simulators: a terminal is plugged in by
// starting a line simulator whose end A appears at the slot's path, and unplugged by stopping it
// (the link goes away). The results file is read back with python3's csv and json modules.
#include "child_process.h"
#include "support/plugged_terminal.h"
#include "support/read_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
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

class StationRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        firmware_ = dir_ + "/KV100.bin";
        std::mt19937 rng(7);
        std::string data(48000 + 321, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(firmware_, std::ios::binary) << data;
        size_ = data.size();
    }
    void TearDown() override {
        station_.reset();
        plugged_.clear();
    }

    std::string Slot(int k) const { return slotFolder_ + "/slot" + std::to_string(k); }
    std::string Output(int k, int unit) const {
        return dir_ + "/out" + std::to_string(k) + "_" + std::to_string(unit) + ".bin";
    }

    void StartStation(const std::vector<std::string>& extra, int slots) {
        std::vector<std::string> argv{kBin + "/kavodown", "--station", "--batch", "--silence-limit", "20"};
        for (int k = 1; k <= slots; ++k) argv.insert(argv.end(), {"--slot", Slot(k)});
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(firmware_);
        station_ = std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = argv,
            .env = {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS"},
            .in = ChildProcess::Input::Null,
            .out = ChildProcess::Output::File,
            .err = ChildProcess::Output::Capture,
            .outPath = dir_ + "/records.out"});
        ASSERT_FALSE(station_->WaitLine("slot(s)", 20s).empty()) << "the station did not start";
    }

    // Plugs a terminal into slot `k`; `baud` 0 relays at once; `terminalArgs` add faults.
    TPlugged& Plug(int k, int unit, int baud = 0, std::vector<std::string> terminalArgs = {}) {
        // Both simulators are started and kept even when one is not ready: callers stop them.
        TPlugged plugged;
        const std::string b = dir_ + "/b" + std::to_string(k);
        EXPECT_TRUE(plugged.StartLine(kBin, baud, Slot(k), b)) << "the line simulator of slot " << k;
        EXPECT_TRUE(plugged.StartTerminal(kBin, b, Output(k, unit), size_, terminalArgs))
            << "the terminal of slot " << k;
        plugged_.push_back(std::move(plugged));
        return plugged_.back();
    }

    // The results file through a real parser: "slot code outcome-prefix sha-ok" per record.
    std::string Records(const std::string& results) {
        const bool json = !results.ends_with(".csv");
        const std::string script =
            std::string("import csv,json,sys\n") +
            (json ? "rows=[json.loads(l) for l in open(sys.argv[1])]\n"
                  : "rows=list(csv.DictReader(open(sys.argv[1], newline='')))\n") +
            "for r in sorted(rows, key=lambda r: (r['slot'], int(r['code']))):\n"
            "    print(r['slot'], r['code'], r['outcome'].split(':')[0], r['sha256']==sys.argv[2],"
            " int(r['size'])==int(sys.argv[3]), r['time'][10]=='T' and r['time'][-3]==':')\n";
        ChildProcess python({.argv = {"/usr/bin/python3", "-c", script, results, Sha(),
                                      std::to_string(size_)},
                             .out = ChildProcess::Output::Capture, .err = ChildProcess::Output::Capture});
        std::string out = python.ReadAll(30s);
        EXPECT_EQ(python.Wait(30s), 0) << out;
        return out;
    }

    // "slot block_errors" per record of a CSV results file, through python3's csv module.
    std::string BlockErrors(const std::string& results) {
        const std::string script =
            "import csv,sys\n"
            "for r in sorted(csv.DictReader(open(sys.argv[1], newline='')), key=lambda r: r['slot']):\n"
            "    print(r['slot'], r['block_errors'])\n";
        ChildProcess python({.argv = {"/usr/bin/python3", "-c", script, results},
                             .out = ChildProcess::Output::Capture, .err = ChildProcess::Output::Capture});
        std::string out = python.ReadAll(30s);
        EXPECT_EQ(python.Wait(30s), 0) << out;
        return out;
    }

    std::string Sha() {
        ChildProcess sum({.argv = {"/usr/bin/sha256sum", firmware_}, .out = ChildProcess::Output::Capture});
        return sum.ReadAll(30s).substr(0, 64);
    }

    TempDir tmp_{"kavo_station"};
    const std::string dir_ = tmp_.Path().string();
    std::string slotFolder_ = dir_;  // where the slots' links appear
    std::string firmware_;
    std::size_t size_ = 0;
    std::unique_ptr<ChildProcess> station_;
    std::list<TPlugged> plugged_;  // a list: references to its items stay valid
};

TEST_F(StationRunTest, FourTerminalsPluggedInAtDifferentTimesAreFlashedAndRecorded) {
    StartStation({"--units", "4", "--results", dir_ + "/results.csv"}, 4);
    for (int k = 1; k <= 4; ++k) {
        // Terminal 2 refuses two good blocks: its record counts them, the others count none.
        Plug(k, 1, 0, k == 2 ? std::vector<std::string>{"--nak-block", "3", "--nak-block", "9"}
                             : std::vector<std::string>{});
        std::this_thread::sleep_for(300ms * k);
    }
    EXPECT_EQ(station_->Wait(90s), 0) << station_->ReadAll(1s);
    for (int k = 1; k <= 4; ++k) {
        EXPECT_TRUE(ReadFile(Output(k, 1)) == ReadFile(firmware_)) << "terminal " << k << " differs";
    }
    const std::string expected =
        "slot1 0 flashed True True True\nslot2 0 flashed True True True\n"
        "slot3 0 flashed True True True\nslot4 0 flashed True True True\n";
    EXPECT_EQ(Records(dir_ + "/results.csv"), expected);
    EXPECT_EQ(BlockErrors(dir_ + "/results.csv"), "slot1 0\nslot2 2\nslot3 0\nslot4 0\n");
    // The standard output has the same records, one JSON object each.
    EXPECT_EQ(Records(dir_ + "/records.out"), expected);
}

TEST_F(StationRunTest, UnpluggedMidTransferIsDeviceLostAndFlashedWhenPluggedInAgain) {
    StartStation({"--units", "4", "--results", dir_ + "/results.jsonl"}, 3);
    // Slot 1 at the line's real pace, so that the unplug lands in the middle of the transfer.
    TPlugged& slow = Plug(1, 1, 115200);
    Plug(2, 1);
    Plug(3, 1, 0, {"--cancel-at-block", "5", "--can-count", "2"});
    ASSERT_FALSE(station_->WaitLine("slot1: sending", 20s).empty());
    std::this_thread::sleep_for(1500ms);
    slow.line->Stop(SIGTERM, 5s);  // the cable is pulled: the link goes away
    ASSERT_FALSE(station_->WaitLine("slot1: failed: device lost", 30s).empty());
    slow.terminal->Stop(SIGTERM, 5s);
    Plug(1, 2);
    EXPECT_EQ(station_->Wait(90s), 2) << station_->ReadAll(1s);
    EXPECT_TRUE(ReadFile(Output(1, 2)) == ReadFile(firmware_)) << "the replugged terminal differs";
    EXPECT_TRUE(ReadFile(Output(2, 1)) == ReadFile(firmware_)) << "the other terminal differs";
    EXPECT_EQ(Records(dir_ + "/results.jsonl"),
              "slot1 0 flashed True True True\nslot1 8 device lost True True True\n"
              "slot2 0 flashed True True True\nslot3 2 transfer failed True True True\n");
}

TEST_F(StationRunTest, FirmwareChangedOnDiskIsReportedAndEveryUnitGetsTheImageReadAtStart) {
    const std::string original = ReadFile(firmware_);
    const std::string sha = Sha();
    StartStation({"--units", "1", "--results", dir_ + "/results.csv"}, 1);
    std::ofstream(firmware_, std::ios::binary | std::ios::trunc) << std::string(size_, 'X');
    EXPECT_FALSE(station_->WaitLine("changed on disk", 20s).empty());
    Plug(1, 1);
    EXPECT_EQ(station_->Wait(60s), 0) << station_->ReadAll(1s);
    EXPECT_TRUE(ReadFile(Output(1, 1)) == original) << "the unit got bytes of the changed file";
    EXPECT_NE(ReadFile(dir_ + "/results.csv").find("," + sha + ","), std::string::npos);
}

TEST_F(StationRunTest, ADeviceThereAtStartUpWaitsForAPlugInUnlessStartPresentIsGiven) {
    for (const bool startPresent : {false, true}) {
        SCOPED_TRACE(startPresent ? "--start-present" : "without --start-present");
        plugged_.clear();
        fs::remove(dir_ + "/results.csv");
        TPlugged& fixed = Plug(1, startPresent ? 2 : 1);
        StartStation(startPresent ? std::vector<std::string>{"--units", "1", "--start-present",
                                                             "--results", dir_ + "/results.csv"}
                                  : std::vector<std::string>{"--units", "1", "--results", dir_ + "/results.csv"},
                     1);
        if (!startPresent) {
            ASSERT_FALSE(station_->WaitLine("present at start-up", 10s).empty());
            EXPECT_EQ(station_->WaitLine("slot1: starting", 1s), "")
                << "a unit started on a device that was not plugged in";
            fixed.line->Stop(SIGTERM, 5s);
            fixed.terminal->Stop(SIGTERM, 5s);
            Plug(1, 3);
        }
        EXPECT_EQ(station_->Wait(60s), 0) << station_->ReadAll(1s);
        EXPECT_TRUE(ReadFile(Output(1, startPresent ? 2 : 3)) == ReadFile(firmware_));
        EXPECT_EQ(Records(dir_ + "/results.csv"), "slot1 0 flashed True True True\n");
    }
}

// A station started before its first terminal is plugged in: udev makes /dev/serial/by-path only
// with the first USB serial device, and removes it again with the last one.
TEST_F(StationRunTest, SlotsInAFolderThatComesAndGoesWithThePlugInsAreWatched) {
    slotFolder_ = dir_ + "/dev/serial/by-path";
    StartStation({"--units", "3", "--results", dir_ + "/results.csv"}, 2);
    TPlugged& first = Plug(1, 1);
    ASSERT_FALSE(station_->WaitLine("slot1: done", 30s).empty()) << station_->ReadAll(1s);
    // The folder is there now; a second terminal's link is a plain plug-in.
    TPlugged& second = Plug(2, 1);
    ASSERT_FALSE(station_->WaitLine("slot2: done", 30s).empty()) << station_->ReadAll(1s);
    for (TPlugged* plugged : {&first, &second}) {
        plugged->line->Stop(SIGTERM, 5s);
        plugged->terminal->Stop(SIGTERM, 5s);
    }
    fs::remove_all(dir_ + "/dev/serial");
    Plug(1, 2);
    EXPECT_EQ(station_->Wait(60s), 0) << station_->ReadAll(1s);
    for (int k = 1; k <= 2; ++k) EXPECT_TRUE(ReadFile(Output(k, 1)) == ReadFile(firmware_)) << k;
    EXPECT_TRUE(ReadFile(Output(1, 2)) == ReadFile(firmware_));
    EXPECT_EQ(Records(dir_ + "/results.csv"),
              "slot1 0 flashed True True True\nslot1 0 flashed True True True\n"
              "slot2 0 flashed True True True\n");
}

TEST_F(StationRunTest, StopCancelsTheRunningUnitsAndRecordsThemAsStopped) {
    StartStation({"--results", dir_ + "/results.csv"}, 2);
    TPlugged& first = Plug(1, 1, 115200);
    TPlugged& second = Plug(2, 1, 115200);
    // Both are sending, in whichever order they started.
    ASSERT_FALSE(station_->WaitLine(": sending", 20s).empty());
    ASSERT_FALSE(station_->WaitLine(": sending", 20s).empty());
    std::this_thread::sleep_for(500ms);
    station_->Signal(SIGTERM);
    EXPECT_EQ(station_->Wait(30s), 128 + SIGTERM) << station_->ReadAll(1s);
    EXPECT_EQ(Records(dir_ + "/results.csv"),
              "slot1 143 stopped True True True\nslot2 143 stopped True True True\n");
    // Each terminal was told with CAN.
    for (TPlugged* plugged : {&first, &second}) {
        EXPECT_FALSE(plugged->terminal->WaitLine("termsim: sender-cancelled", 20s).empty());
    }
}

}  // namespace
}  // namespace kavo::test
