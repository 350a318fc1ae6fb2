// The headless production station: slots watched for plug-ins (hotplug.h), a `kavodown --batch`
// child per running unit (unit_process.h), the results log, and the lines for the operator.
//
// Each unit runs in a child process of the program itself ("--batch --device PATH --progress
// json"), so a slot whose run fails or crashes cannot disturb another, and the single run's send
// sequence is the only one. The children read a private read-only copy of the firmware image
// the station read at start; the SHA-256 each child reports must be the station's, else the unit
// counts as failed. A change of the firmware file on disk is reported and changes no unit.
//
// Output: one line per event on the standard error ("kavodown station: SLOT: what"), one JSON
// object (the record) per finished unit on the standard output.
//
// Thread safety: RunStation blocks the calling thread. With `takeSignals` (the headless
// station) SIGINT and SIGTERM are blocked in that thread and taken through a signalfd; without
// it the caller forwards them through TStationControl::Stop. The observer is called on the
// station's thread; TStationControl may be called from any thread.
#pragma once

#include "platform/unique_fd.h"
#include "station/slot.h"
#include "station/station_options.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace kavo::station {

// The one firmware image of every unit, read once when the station starts.
struct TStationImage {
    std::string path;    // as given, for the records
    std::string bytes;   // read once at start
    std::string sha256;  // hex, of `bytes`
};

// What a slot shows: sent whenever one of these changes.
struct TSlotView {
    std::size_t index = 0;  // 0-based, in the order of the slots
    std::string name, device;
    std::string serial;     // the unit's USB serial number, "" when sysfs has none
    TSlotState state = TSlotState::waiting;
    bool present = false;
    int percent = 0;
    std::string reason;          // why the unit failed or was stopped
    int code = 0;  // the exit code a --batch run would have had (flashed: 0, in USB mode 1)
    std::int64_t startMs = 0;    // steady-clock start of the running unit, 0 when none runs
    std::int64_t durationMs = 0; // of the last finished unit
};

struct TStationCounters {
    int done = 0, failed = 0;       // finished units (failed includes stopped)
    std::int64_t sinceMs = 0;       // steady-clock start of the station
};

// Calls from the station's thread; an implementation copies what it needs and returns soon.
class TStationObserver {
public:
    virtual ~TStationObserver() = default;
    virtual void SlotChanged(const TSlotView& slot) = 0;
    virtual void CountersChanged(const TStationCounters& counters) = 0;
    virtual void FirmwareChanged() = 0;
    virtual void StationEnded(int exitCode) = 0;
    // A line of the station itself (not of a slot), as it goes to the standard error.
    virtual void StationSaid(const std::string& text) { (void)text; }
};

// Requests to a running station from any thread; each wakes its poll loop through an eventfd.
class TStationControl {
public:
    TStationControl();
    TStationControl(const TStationControl&) = delete;
    TStationControl& operator=(const TStationControl&) = delete;

    // Cancels the running units (each child gets its stop, which sends CAN), records them as
    // stopped and ends the station. `signalNumber` 0 is the operator's stop; a signal's number
    // makes the exit code 128 + n when units were running, as in the headless station.
    void Stop(int signalNumber = 0);
    // Starts the units whose devices are there and wait for a plug-in (--start-present).
    void StartPresent();

    struct TRequests {
        bool stop = false;
        int signalNumber = 0;
        bool startPresent = false;
    };
    // For the station: the pending requests (cleared) and the descriptor to poll.
    TRequests Take();
    int WakeFd() const { return fd_.Get(); }

private:
    void Wake();
    TUniqueFd fd_;
    std::mutex mutex_;
    TRequests pending_;
};

struct TStationHooks {
    TStationObserver* observer = nullptr;
    TStationControl* control = nullptr;
    bool takeSignals = true;  // block SIGINT/SIGTERM in the calling thread, take them by signalfd
};

// Runs the station until the units are done or a stop ends it; returns the exit code
// (0: every finished unit flashed; 2: some failed or were stopped by the operator; 128+n:
// stopped by signal n with units running; 9: the station could not start, with a line on the
// standard error). The observer, when given, hears StationEnded with that code last.
int RunStation(const TStationOptions& options, const TStationImage& image,
               const std::string& program, const TStationHooks& hooks = {});

// Finished units per hour over `elapsedMs`; 0 before any time has passed.
double UnitsPerHour(int units, std::int64_t elapsedMs);

}  // namespace kavo::station
