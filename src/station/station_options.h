// The command line of the production station:
//
//   kavodown --station [--batch] [OPTIONS] FILE
//
//   (without --batch the station's window opens, app/qt/station_window.h)
//
//   --slot PATH          a slot: a device path that stays the same for the same physical place
//                        (a /dev/serial/by-path link), any device path, or COMn of the port map;
//                        may be repeated. Without --slot the slots come from the SLOTS section
//                        of station.ini in the settings folder (SLOT1=PATH, SLOT2=PATH, ...), and
//                        without those every USB serial device that appears gets a slot
//   --results FILE       the results log (default $XDG_STATE_HOME/kavodown/results.csv);
//                        ".jsonl" or ".json" selects JSON lines, anything else CSV
//   --units N            end after N units (default: until SIGTERM or SIGINT)
//   --retries N          retries of a failed unit while it stays plugged in (default 0)
//   --start-present      start the units whose devices are there at start-up at once
//   --usb                USB storage mode: a slot is the terminal's serial port, and its volume
//                        is the one on the same USB device; a unit is done when the firmware is
//                        on that volume, acknowledged, and the volume has gone away
//   --ddd, --silence-limit SECS   as for a single run (the limit is 60 s by default)
//
// Thread safety: plain functions without state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavo::station {

struct TStationOptions {
    bool batch = false;
    std::vector<std::string> slotPaths;  // as given: paths or COMn
    std::string resultsPath;         // empty: DefaultResultsPath()
    int units = 0;                   // 0: no limit
    int retries = 0;
    bool startPresent = false;
    bool ddd = false;
    bool usb = false;  // USB storage mode: each terminal takes the file on its own volume
    std::uint32_t silenceLimitSeconds = 60;
    std::string firmware;
};

struct TStationCommandLine {
    TStationOptions options;
    std::string error;  // one line; empty when good
};

// Whether the arguments ask for the station (they hold --station).
bool WantsStation(const std::vector<std::string>& arguments);

TStationCommandLine ParseStationCommandLine(const std::vector<std::string>& arguments);

// The slot paths: each COMn replaced by its device path (an unmapped number is an error in
// `error`); from `settingsFile` (SLOTS section) when `given` is empty.
std::vector<std::string> ResolveSlots(const std::vector<std::string>& given,
                                      const std::string& settingsFile, std::string& error);

std::string StationUsageText();

}  // namespace kavo::station
