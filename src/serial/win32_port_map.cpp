#include <cstdlib>

#include "platform/settings_folder.h"
#include "serial/port_map.h"
#include "serial/win32_serial_comm.h"

// The port map's platform part on Windows. Every number names a device of its own
// ("\\.\COM<n>"), so a number is mapped unless an explicit entry says otherwise; the default rule
// lists the ports of the registry's serial port map, and the explicit sources (KAVODOWN_PORTS,
// ports.ini) work as on POSIX. Exclusive open is the only
// lock, and the system does not tell who holds a port.
namespace kavo {
namespace {

std::string DeviceNameOf(int number) { return "\\\\.\\COM" + std::to_string(number); }

}  // namespace

std::vector<PortEntry> DefaultSerialPorts(const std::string&, const std::string&) {
    std::vector<PortEntry> ports;
    const auto registered = ReadSerialCommMap();
    if (!registered) return ports;
    for (const auto& [driverDevice, portName] : *registered) {
        const int number = ComNumberFromDeviceName(portName);
        if (number >= 1 && number <= kMaxComNumber) ports.push_back({number, DeviceNameOf(number), driverDevice});
    }
    return ports;
}

std::vector<PortEntry> ListComPorts() {
    const char* variable = std::getenv("KAVODOWN_PORTS");
    return MergePortSources(variable ? ParsePortsVariable(variable) : std::vector<PortEntry>{},
                            ReadPortsFile(SettingsFolder() + "ports.ini"), DefaultSerialPorts());
}

std::string DescribeDevice(const std::string&, const std::string&, const std::string&) { return {}; }

std::vector<std::string> DeviceHolders(const std::string&, const std::string&) { return {}; }

std::string ComPortPath(int number) {
    if (number < 1 || number > kMaxComNumber) return {};
    for (const PortEntry& e : ListComPorts()) {
        if (e.number == number) return e.path;
    }
    return DeviceNameOf(number);
}

}  // namespace kavo
