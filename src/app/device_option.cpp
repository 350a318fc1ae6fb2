#include "app/device_option.h"

#include <cstdlib>
#include <set>

#include "platform/file_io.h"

namespace kavo {

int DevicePortNumber(const std::string& path, const std::vector<PortEntry>& ports) {
    std::set<int> taken;
    for (const PortEntry& entry : ports) {
        if (entry.path == path) return entry.number;
        taken.insert(entry.number);
    }
    for (int number = kMaxComNumber; number >= 1; --number) {
        if (!taken.count(number)) return number;
    }
    return 0;
}

std::string ApplyDeviceOption(TCommandLine& line) {
    if (line.device.empty()) return {};
#ifdef _WIN32
    // Windows opens ports by their names, which carry the number.
    const int port = ComNumberFromDeviceName(line.device);
    if (port == 0) {
        return "--device: " + line.device + " is not a port name such as COM12 or \\\\.\\COM12";
    }
    line.positional.insert(line.positional.begin(), std::to_string(port));
    return {};
#else
    // KAVODOWN_PORTS separates its pairs with commas.
    if (line.device.find(',') != std::string::npos) {
        return "--device: a device path with ',' cannot be used: " + line.device;
    }
    const int number = DevicePortNumber(line.device, ListComPorts());
    if (number == 0) return "--device: every port number is taken";
    // A later pair wins in the variable: ours goes last.
    const char* previous = std::getenv("KAVODOWN_PORTS");
    std::string ports = previous && *previous ? std::string(previous) + "," : std::string();
    ports += std::to_string(number) + "=" + line.device;
    SetEnvironment("KAVODOWN_PORTS", ports.c_str());
    line.positional.insert(line.positional.begin(), std::to_string(number));
    return {};
#endif
}

}  // namespace kavo
