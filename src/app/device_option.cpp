#include "app/device_option.h"

#include <cstdlib>
#include <set>

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
    ::setenv("KAVODOWN_PORTS", ports.c_str(), 1);
    line.positional.insert(line.positional.begin(), std::to_string(number));
    return {};
}

}  // namespace kavo
