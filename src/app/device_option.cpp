#include "app/device_option.h"

#include <cctype>
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

int ComNumberOfDeviceName(const std::string& name) {
    std::size_t at = name.rfind("\\\\.\\", 0) == 0 ? 4 : 0;
    if (name.size() < at + 4) return 0;
    for (const char letter : {'C', 'O', 'M'}) {
        if (std::toupper(static_cast<unsigned char>(name[at++])) != letter) return 0;
    }
    long number = 0;
    for (; at < name.size(); ++at) {
        if (!std::isdigit(static_cast<unsigned char>(name[at])) || number > 65535) return 0;
        number = number * 10 + (name[at] - '0');
    }
    return number >= 1 && number <= 65535 ? static_cast<int>(number) : 0;
}

std::string ApplyDeviceOption(TCommandLine& line) {
    if (line.device.empty()) return {};
#ifdef _WIN32
    // Windows opens ports by their names, which carry the number.
    const int port = ComNumberOfDeviceName(line.device);
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
