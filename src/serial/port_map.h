// The port map: which device a port number (COMn) stands for on this machine.
//
// The tool names serial ports by number. A number maps to a device path by, in this order:
//  1. the environment variable KAVODOWN_PORTS: "n=/path" pairs separated by commas
//     (for instance "5=/tmp/line/A,6=/dev/ttyUSB0"); used by tests and scripts;
//  2. the file ports.ini in the settings folder: section PORTS, keys COM1..COM256;
//  3. the default rule over the real serial devices of the machine (see ListSerialDevices).
//
// Thread safety: the functions read the environment and the file system on each call and keep no
// state; any thread may call them.
#pragma once

#include <string>
#include <vector>

namespace kavo {

constexpr int kMaxComNumber = 256;

struct PortEntry {
    int number = 0;           // n of COMn
    std::string path;         // device path, for instance /dev/ttyUSB0
    std::string description;  // what the device is, for a listing; may be empty
};

// The device path of COMn, or an empty string when n is not mapped.
std::string ComPortPath(int number);

// The number in a device name of the form "\\.\COM<n>" or "COM<n>" (any case), else 0.
int ComNumberFromDeviceName(const std::string& name);

// Every mapped port, ordered by number.
std::vector<PortEntry> ListComPorts();

// Parses a KAVODOWN_PORTS value; malformed pairs are skipped. Later pairs for the same number win.
std::vector<PortEntry> ParsePortsVariable(const std::string& text);

}  // namespace kavo
