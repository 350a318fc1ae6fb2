// The port listing of --list-ports: one line per mapped port with its device, what the system
// tells of it, and whether it can be used now.
//
// Thread safety: plain functions; ProbePort opens the device briefly.
#pragma once

#include <string>
#include <vector>

#include "serial/port_map.h"

namespace kavo {

enum TPortCondition {
    pcFree,          // opens as a serial port
    pcBusy,          // another program holds it
    pcNoPermission,  // this user may not open it
    pcMissing,       // nothing at the path
    pcNotSerial,     // something at the path, but not a serial device
    pcFailed,        // any other failure
};

// Opens the device at `path` the way the port opens it (exclusive, then raw mode) and closes it
// again, restoring its settings. A device held by another program is not disturbed.
TPortCondition ProbePort(const std::string& path);

// "COM3  /dev/ttyUSB0  <description>" and, unless the port is free, a mark such as
// "  [busy: pid 1234 (minicom)]" or "  [busy]".
std::string PortListingLine(const PortEntry& entry, TPortCondition condition,
                            const std::vector<std::string>& holders);

// The listing of every mapped port, one line each (newline-terminated).
std::string PortListing();

}  // namespace kavo
