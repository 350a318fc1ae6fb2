#include <cstdio>
#include <cstdlib>

#include "platform/settings_folder.h"
#include "serial/port_map.h"

// The port map's platform part on Windows. Every number names a device of its own
// ("\\.\COM<n>"), so a number is mapped unless an explicit entry says otherwise; the explicit
// sources (KAVODOWN_PORTS, ports.ini) work as on POSIX. Exclusive open is the only lock, and the
// system does not tell who holds a port.
namespace kavo {

std::vector<PortEntry> DefaultSerialPorts(const std::string&, const std::string&) { return {}; }

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
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    return name;
}

}  // namespace kavo
