#include "app/port_listing.h"

#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"

#include <filesystem>
#include <system_error>

namespace kavo {

TPortCondition ProbePort(const std::string& path) {
    switch (ProbeDevice(path).code) {
    case 0: return pcFree;
    case ecAccessDenied: return pcBusy;
    case ecDevicePermission: return pcNoPermission;
    case ecFileNotFound: {
        // Something at a path of the file system that is no tty; Windows' device names
        // ("\\.\COM3") are not in the file system, and there the open alone tells.
        std::error_code ec;
        return std::filesystem::exists(path, ec) ? pcNotSerial : pcMissing;
    }
    default: return pcFailed;
    }
}

std::string PortListingLine(const PortEntry& entry, TPortCondition condition,
                            const std::vector<std::string>& holders) {
    std::string line = "COM" + std::to_string(entry.number) + "  " + entry.path + "  " +
                       entry.description;
    switch (condition) {
    case pcFree: break;
    case pcBusy: {
        line += "  [busy";
        for (std::size_t i = 0; i < holders.size(); ++i) line += (i ? ", pid " : ": pid ") + holders[i];
        line += "]";
        break;
    }
    case pcNoPermission: line += "  [no permission]"; break;
    case pcMissing: line += "  [no device]"; break;
    case pcNotSerial: line += "  [not a serial device]"; break;
    case pcFailed: line += "  [cannot be opened]"; break;
    }
    return line;
}

std::string PortListing() {
    std::string text;
    for (const PortEntry& entry : ListComPorts()) {
        const TPortCondition condition = ProbePort(entry.path);
        const std::vector<std::string> holders =
            condition == pcBusy ? DeviceHolders(entry.path) : std::vector<std::string>{};
        text += PortListingLine(entry, condition, holders) + "\n";
    }
    return text;
}

}  // namespace kavo
