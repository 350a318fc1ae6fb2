// The station's logic without processes: the slot's state machine, the results log's records
// and appends, the command line and the slots it names, udev's links and the control's requests.
#include "station/hotplug.h"
#include "station/results_log.h"
#include "station/slot.h"
#include "station/station.h"
#include "station/station_options.h"
#include "support/read_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <thread>
#include <cstdlib>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kavo::station {
namespace {

using kavo::test::ReadFile;

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/kavo_station_unit_XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempFolder() { fs::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Events fed to a slot, one letter each: a appears, g goes, s starts, p progress, 0 ends well,
// 2 ends failed. `finished` is how many Ended calls said the unit is over.
struct SlotRow {
    const char* events;
    int retries;
    TSlotState state;
    int finished;
    bool canStart;
};

TEST(Slot, OnePlugInIsOneUnitAndRetriesOnlyWhilePluggedIn) {
    const SlotRow rows[] = {
        {"", 0, TSlotState::waiting, 0, false},
        {"a", 0, TSlotState::ready, 0, true},
        {"asp", 0, TSlotState::sending, 0, false},
        {"as0", 0, TSlotState::done, 1, false},         // done waits for the unplug
        {"as0g", 0, TSlotState::waiting, 1, false},
        {"as0ga", 0, TSlotState::ready, 1, true},       // the next unit
        {"as2", 0, TSlotState::failed, 1, false},
        {"as2", 1, TSlotState::ready, 0, true},         // retried while plugged in
        {"as2s2", 1, TSlotState::failed, 1, false},     // out of retries
        {"asg2", 3, TSlotState::waiting, 1, false},     // lost: no retry without the device
        {"aspga2", 0, TSlotState::ready, 1, true},      // back before its run ended: a new unit
        {"asg", 0, TSlotState::waking, 0, false},       // the running child ends by itself
    };
    for (const SlotRow& row : rows) {
        TSlot slot;
        int finished = 0;
        for (const char* e = row.events; *e; ++e) {
            switch (*e) {
            case 'a': slot.Appeared(); break;
            case 'g': slot.Gone(); break;
            case 's': slot.Started(1000); break;
            case 'p': slot.Progress(40); break;
            case '0': finished += slot.Ended(true, "", row.retries); break;
            case '2': finished += slot.Ended(false, "transfer failed", row.retries); break;
            }
        }
        EXPECT_EQ(SlotStateName(slot.state), std::string(SlotStateName(row.state))) << row.events;
        EXPECT_EQ(finished, row.finished) << row.events;
        EXPECT_EQ(slot.CanStart(), row.canStart) << row.events;
    }
}

TEST(ResultsLog, CsvFieldsAreQuotedOnlyWhereTheyMustBe) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain", "plain"}, {"", ""}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""}, {"cr\r", "\"cr\r\""},
    };
    for (const auto& [text, field] : rows) EXPECT_EQ(CsvField(text), field) << text;
}

TEST(ResultsLog, TimeCarriesItsZone) {
    ::setenv("TZ", "Asia/Seoul", 1);
    ::tzset();
    EXPECT_EQ(TimeWithZone(1796742331042), "2026-12-09T00:05:31.042+09:00");
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(TimeWithZone(1796742331042), "2026-12-08T15:05:31.042+00:00");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(ResultsLog, AppendsOneLinePerRecordWithTheHeaderOnceAndTheFormatByName) {
    TempFolder folder;
    TUnitRecord record;
    record.slot = "usb-0:1.2";
    record.outcome = "transfer failed: Cancelled, by \"remote\"";
    record.code = 2;
    const std::string csv = folder.Path() + "/deep/er/results.csv";  // the folders are made
    for (int round = 0; round < 2; ++round) {
        TResultsLog log;
        ASSERT_EQ(log.Open(csv), "");
        TUnitRecord copy = record;
        ASSERT_EQ(log.Append(copy), "");
        EXPECT_FALSE(copy.time.empty() || copy.host.empty());
    }
    const std::string text = ReadFile(csv);
    EXPECT_EQ(text.rfind(CsvHeader() + "\n", 0), 0u) << text;
    EXPECT_EQ(text.find(CsvHeader(), 1), std::string::npos) << "a second header";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.find(",\"transfer failed: Cancelled, by \"\"remote\"\"\","), std::string::npos) << text;

    const std::string jsonl = folder.Path() + "/results.jsonl";
    TResultsLog log;
    ASSERT_EQ(log.Open(jsonl), "");
    TUnitRecord copy = record;
    ASSERT_EQ(log.Append(copy), "");
    EXPECT_EQ(ReadFile(jsonl), JsonLine(copy) + "\n");
    EXPECT_EQ(FormatForPath("/x/r.json"), TResultsFormat::jsonLines);
    EXPECT_EQ(FormatForPath("/x/r.log"), TResultsFormat::csv);
}

TEST(ResultsLog, AFolderOrAnUnwritablePlaceIsRefusedAtOpen) {
    TempFolder folder;
    TResultsLog log;
    EXPECT_NE(log.Open(folder.Path()).find("cannot be opened"), std::string::npos);
    // A FIFO without a reader would hold the open for ever; the log refuses it at once.
    TResultsLog fifo;
    const std::string pipe = folder.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_NE(fifo.Open(pipe), "");
    std::ofstream(folder.Path() + "/plain.csv") << "";
    TResultsLog plain;
    EXPECT_EQ(plain.Open(folder.Path() + "/plain.csv"), "");
}

TEST(StationOptions, CommandLineTakesTheSlotsAndLimits) {
    TStationCommandLine good = ParseStationCommandLine(
        {"--station", "--batch", "--slot", "/dev/a", "--slot=/dev/b", "--units", "12",
         "--retries=1", "--start-present", "--ddd", "--silence-limit", "30", "--results", "/r.csv", "fw.bin"});
    ASSERT_EQ(good.error, "");
    EXPECT_EQ(good.options.slotPaths, (std::vector<std::string>{"/dev/a", "/dev/b"}));
    EXPECT_EQ(good.options.units, 12);
    EXPECT_EQ(good.options.retries, 1);
    EXPECT_TRUE(good.options.startPresent && good.options.ddd && good.options.batch);
    EXPECT_EQ(good.options.silenceLimitSeconds, 30u);
    EXPECT_EQ(good.options.resultsPath, "/r.csv");
    EXPECT_EQ(good.options.firmware, "fw.bin");

    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"--station"}, "exactly one firmware FILE"},
        {{"--station", "a", "b"}, "exactly one firmware FILE"},
        {{"--station", "--units", "x", "f"}, "--units needs a whole number, not 'x'"},
        {{"--station", "--units"}, "--units needs a value"},
        {{"--station", "--silence-limit", "86401", "f"}, "not '86401'"},
        {{"--station", "--batch=1", "f"}, "--batch takes no value"},
        {{"--station", "--progress", "f"}, "unknown station option --progress"},
    };
    for (const auto& [arguments, part] : bad) {
        const std::string error = ParseStationCommandLine(arguments).error;
        EXPECT_NE(error.find(part), std::string::npos) << arguments.back() << ": " << error;
    }
}

TEST(StationOptions, SlotsComeFromTheSettingsFileAndComNumbersFromThePortMap) {
    TempFolder folder;
    const std::string ini = folder.Path() + "/station.ini";
    std::ofstream(ini) << "[SLOTS]\nSLOT1=/dev/serial/by-path/p1\nSLOT2=COM7\n[OTHER]\nX=/y\n";
    ::setenv("KAVODOWN_PORTS", "7=/dev/ttyUSB3", 1);
    std::string error;
    EXPECT_EQ(ResolveSlots({}, ini, error),
              (std::vector<std::string>{"/dev/serial/by-path/p1", "/dev/ttyUSB3"}));
    EXPECT_EQ(error, "");
    EXPECT_EQ(ResolveSlots({"/dev/x"}, ini, error), (std::vector<std::string>{"/dev/x"}));
    EXPECT_TRUE(ResolveSlots({"COM9"}, ini, error).empty());
    EXPECT_NE(error.find("COM9 is not assigned"), std::string::npos) << error;
    error.clear();
    EXPECT_TRUE(ResolveSlots({"/dev/ttyUSB3", "COM7"}, ini, error).empty());
    EXPECT_NE(error.find("given twice"), std::string::npos) << error;
    ::unsetenv("KAVODOWN_PORTS");
}

// udev's DEVLINKS of a USB serial adapter: the slot is named by its physical place, never by
// its serial number or a rule's own name.
TEST(UdevLinks, TheByPathLinkNamesTheSlot) {
    EXPECT_EQ(ByPathLink("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0 "
                         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.3:1.0-port0 /dev/kv100"),
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.3:1.0-port0");
    EXPECT_EQ(ByPathLink("/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0"),
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0");
    EXPECT_EQ(ByPathLink("/dev/serial/by-id/usb-x /dev/serial/by-path/"), "");
    EXPECT_EQ(ByPathLink(""), "");
}

// The control's requests from another thread: each wakes the poll loop's descriptor; taking them
// clears them and the wake-up; a stop keeps the first one's signal.
TEST(StationControl, RequestsWakeThePollLoopAndAreTakenOnce) {
    TStationControl control;
    ASSERT_GE(control.WakeFd(), 0);
    auto readable = [&] {
        pollfd fd{control.WakeFd(), POLLIN, 0};
        return ::poll(&fd, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    std::thread([&] { control.StartPresent(); }).join();
    EXPECT_TRUE(readable());
    TStationControl::TRequests taken = control.Take();
    EXPECT_TRUE(taken.startPresent);
    EXPECT_FALSE(taken.stop);
    EXPECT_FALSE(readable());
    EXPECT_FALSE(control.Take().startPresent);

    std::thread([&] {
        control.Stop(SIGTERM);
        control.Stop(0);  // the window's close after the signal: still a stop by SIGTERM
    }).join();
    taken = control.Take();
    EXPECT_TRUE(taken.stop);
    EXPECT_EQ(taken.signalNumber, SIGTERM);
    EXPECT_FALSE(control.Take().stop);
}

}  // namespace
}  // namespace kavo::station
