// The headless production station: slots watched for plug-ins, a `kavodown --batch` child per
// running unit, the results log, and the lines for the operator.
//
// Each unit runs in a child process of the program itself ("--batch --device PATH --progress
// json"), so a slot whose run fails or crashes cannot disturb another, and the single run's send
// sequence is the only one. The children read a private read-only copy of the firmware image
// the station read at start; the SHA-256 each child reports must be the station's, else the unit
// counts as failed. A change of the firmware file on disk is reported and changes no unit.
//
// Hotplug comes from inotify on the folders of the slot paths (a /dev/serial/by-path link, a
// device node, a simulator's link), so nothing is polled.
//
// Output: one line per event on the standard error ("kavodown station: SLOT: what"), one JSON
// object (the record) per finished unit on the standard output.
//
// Thread safety: Run blocks the calling thread; SIGINT, SIGTERM and SIGCHLD are blocked in it
// and taken through a signalfd.
#pragma once

#include "station/station_options.h"

#include <string>

namespace kavo::station {

struct TFirmwareImage {
    std::string path;    // as given, for the records
    std::string bytes;   // read once at start
    std::string sha256;  // hex, of `bytes`
};

// Runs the station until the units are done or a signal stops it; returns the exit code
// (0: every finished unit flashed; 2: some failed; 128+n: stopped by signal n with units
// running; 9: the station could not start, with a line on the standard error).
int RunStation(const TStationOptions& options, const TFirmwareImage& image,
               const std::string& program);

// What sysfs tells of the USB device behind a tty path: vendor and product ids and serial
// number; empty texts when it is no USB device. `sysRoot` is normally "/sys".
struct TUsbIdentity {
    std::string vendor, product, serial;
};
TUsbIdentity UsbIdentityOf(const std::string& devicePath, const std::string& sysRoot = "/sys");

}  // namespace kavo::station
