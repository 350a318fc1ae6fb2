#include "station/station_options.h"

#include "platform/profile.h"
#include "serial/port_map.h"

#include <cctype>

namespace kavo::station {
namespace {

bool ParseCount(const std::string& text, int limit, int& value) {
    if (text.empty() || text.size() > 9) return false;
    int number = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        number = number * 10 + (c - '0');
    }
    if (number > limit) return false;
    value = number;
    return true;
}

}  // namespace

bool WantsStation(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--station") return true;
    }
    return false;
}

TStationCommandLine ParseStationCommandLine(const std::vector<std::string>& arguments) {
    TStationCommandLine result;
    TStationOptions& o = result.options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0) {
            positional.push_back(argument);
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const bool flag = name == "--station" || name == "--batch" || name == "--ddd" ||
                          name == "--start-present" || name == "--usb";
        const bool valued = name == "--slot" || name == "--results" || name == "--units" ||
                            name == "--retries" || name == "--silence-limit";
        if (!flag && !valued) {
            result.error = "unknown station option " + argument + " (see --station --help)";
            return result;
        }
        if (flag) {
            if (equals != std::string::npos) {
                result.error = name + " takes no value";
                return result;
            }
            if (name == "--batch") o.batch = true;
            else if (name == "--ddd") o.ddd = true;
            else if (name == "--start-present") o.startPresent = true;
            else if (name == "--usb") o.usb = true;
            continue;
        }
        std::string value;
        if (equals != std::string::npos) value = argument.substr(equals + 1);
        else if (i + 1 < arguments.size()) value = arguments[++i];
        if (value.empty()) {
            result.error = name + " needs a value";
            return result;
        }
        int number = 0;
        if (name == "--slot") {
            o.slotPaths.push_back(value);
        } else if (name == "--results") {
            o.resultsPath = value;
        } else if (!ParseCount(value, name == "--silence-limit" ? 86400 : 1000000, number)) {
            result.error = name + " needs a whole number, not '" + value + "'";
            return result;
        } else if (name == "--units") {
            o.units = number;
        } else if (name == "--retries") {
            o.retries = number;
        } else {
            o.silenceLimitSeconds = static_cast<std::uint32_t>(number);
        }
    }
    if (positional.size() != 1) {
        result.error = "--station needs exactly one firmware FILE";
        return result;
    }
    o.firmware = positional[0];
    return result;
}

std::vector<std::string> ResolveSlots(const std::vector<std::string>& given,
                                      const std::string& settingsFile, std::string& error) {
    std::vector<std::string> names = given;
    if (names.empty()) {
        for (const auto& [key, value] : ReadProfileSection("SLOTS", settingsFile)) {
            if (!value.empty()) names.push_back(value);
        }
    }
    std::vector<std::string> paths;
    for (const std::string& name : names) {
        const int number = ComNumberFromDeviceName(name);
        if (number == 0) {
            paths.push_back(name);
            continue;
        }
        const std::string path = ComPortPath(number);
        if (path.empty()) {
            error = "slot " + name + " is not assigned to a device (see --list-ports)";
            return {};
        }
        paths.push_back(path);
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (paths[i] == paths[k]) {
                error = "slot " + paths[i] + " is given twice";
                return {};
            }
        }
    }
    return paths;
}

std::string StationUsageText() {
    return "Usage: kavodown --station [--batch] [OPTIONS] FILE\n"
           "Flashes every terminal plugged into a slot, one unit per plug-in, and records each.\n"
           "\n"
           "  --slot PATH        a slot's device path (a /dev/serial/by-path link) or COMn;\n"
           "                     repeatable; default: SLOTS of station.ini in the settings\n"
           "                     folder, else every USB serial device that appears\n"
           "  --results FILE     the results log (default $XDG_STATE_HOME/kavodown/results.csv;\n"
           "                     .jsonl or .json: JSON lines)\n"
           "  --units N          end after N units\n"
           "  --retries N        retries of a failed unit while it stays plugged in (default 0)\n"
           "  --start-present    start at once on devices already there at start-up\n"
           "  --ddd              wake each terminal's loader with \"DDD\" first\n"
           "  --silence-limit S  end a unit's transfer after S silent seconds (default 60)\n"
           "  --usb              USB storage mode: each terminal takes the file on its own\n"
           "                     volume, the one on the same USB device as its serial port;\n"
           "                     a unit is done once the terminal acknowledged the file and\n"
           "                     its volume went away (its record's code is then 1)\n"
           "\n"
           "Without --batch a window opens: the firmware's name, size and SHA-256, a tile per\n"
           "slot (state, progress, the unit's serial number and elapsed time), the counters,\n"
           "a start button for the devices already there at start-up and a stop button that\n"
           "cancels the running units; closing the window stops the station like the stop button.\n"
           "\n"
           "One JSON object per finished unit goes to the standard output and a line per event\n"
           "to the standard error. Exit codes: 0 every finished unit was flashed, 2 some failed\n"
           "or were stopped with the stop button, 3 the firmware file is missing, 64 a bad\n"
           "command line, 128+n stopped by signal n with units still running.\n";
}

}  // namespace kavo::station
