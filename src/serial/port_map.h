// The port map: which device a port number (COMn) stands for on this machine.
//
// The tool names serial ports by number. A number maps to a device path by, in this order:
//  1. the environment variable KAVODOWN_PORTS: "n=/path" pairs separated by commas
//     (for instance "5=/tmp/line/A,6=/dev/ttyUSB0"); used by tests and scripts;
//  2. the file ports.ini in the settings folder: section PORTS, keys COM1..COM256;
//  3. the default rule over the real serial devices of the machine (DefaultSerialPorts).
// A number that the first two leave open is filled by the third; a device that is already mapped
// explicitly is not listed a second time under its default number.
//
// The default rule looks at /sys/class/tty and numbers the devices in fixed blocks, so that a
// device keeps its number when others come and go, and common adapters land in 1..50 (where the
// port prompt looks):
//   ttyS0..ttyS9 that have a UART behind them    COM1..COM10 (ttySk is COM(k+1))
//   other serial ports with hardware (ttyAMA...)   the free numbers of COM1..COM10, by name
//   ttyUSB0..ttyUSB19 (USB serial adapters)        COM11..COM30
//   ttyACM0..ttyACM19 (USB modem-class devices)    COM31..COM50
//   anything beyond those                          the free numbers from COM51 up
// Virtual ttyS ports (a driver's placeholders without a UART, "type" 0) are left out.
//
// The explicit sources and their merge are the same on every platform (port_map.cpp); the default
// rule, the descriptions and the holders are the platform's (posix_port_map.cpp, and
// win32_port_map.cpp, where every number names "\\.\COM<n>" and nobody is named as a holder).
//
// Thread safety: the functions read the environment and the file system on each call and keep no
// state; any thread may call them.
#pragma once

#include <string>
#include <utility>
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

// Every mapped port, ordered by number. The description of an explicit entry names its source
// (KAVODOWN_PORTS, ports.ini) and then what DescribeDevice tells of its device.
std::vector<PortEntry> ListComPorts();

// The default rule over a tty class folder (normally /sys/class/tty); `devFolder` (normally /dev)
// gives the device paths and the names under serial/by-id for the descriptions.
std::vector<PortEntry> DefaultSerialPorts(const std::string& ttyClassFolder = "/sys/class/tty",
                                          const std::string& devFolder = "/dev");

// The entries of the PORTS section of a ports.ini file (keys COM1..COM256); others are skipped.
std::vector<PortEntry> ReadPortsFile(const std::string& path);

// Merges the three sources, the earlier winning for a number; ordered by number.
std::vector<PortEntry> MergePortSources(const std::vector<PortEntry>& fromVariable,
                                        const std::vector<PortEntry>& fromFile,
                                        const std::vector<PortEntry>& fromDevices);

// The other processes that hold the device at `path`, as "1234 (minicom)", ordered by pid: those
// with a flock on it (procFolder/locks), else the live holder of its lock file (device_locks.h),
// else those that have it open (procFolder/<pid>/fd, as far as this process may look; the
// processes that started this one are left out). Empty when none is found.
std::vector<std::string> DeviceHolders(const std::string& path, const std::string& procFolder = "/proc");

// What sysfs tells of the tty device at `path` (a symlink is followed): its by-id name and USB
// vendor, product and names, as in DefaultSerialPorts' descriptions; empty for a device that is
// not a tty of the machine (a pty, a missing path).
std::string DescribeDevice(const std::string& path, const std::string& ttyClassFolder = "/sys/class/tty",
                           const std::string& devFolder = "/dev");

// Parses a KAVODOWN_PORTS value; malformed pairs are skipped. Later pairs for the same number win.
std::vector<PortEntry> ParsePortsVariable(const std::string& text);

}  // namespace kavo
