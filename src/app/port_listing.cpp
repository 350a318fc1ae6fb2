#include "app/port_listing.h"

#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"

#include <filesystem>
#include <system_error>

namespace kavo {

TPortCondition ProbePort(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return pcMissing;
    switch (ProbeDevice(path).code) {
    case 0: return pcFree;
    case ecAccessDenied: return pcBusy;
    case ecDevicePermission: return pcNoPermission;
    case ecFileNotFound: return pcNotSerial;  // the path exists, so it is no tty
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
