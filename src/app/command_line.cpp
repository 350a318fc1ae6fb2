#include "app/command_line.h"

#include "platform/exit_codes.h"
#include "app/uutil.h"
#include "platform/file_io.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <initializer_list>
#include <utility>

namespace kavo {
namespace {

// The longest path of a trace or log file: the system's limit, less its terminating zero.
constexpr std::size_t kMaxPortFileName = 4095;

enum class TValue { none, folder, seconds, path };

struct TOptionKind {
    const char* name;
    TValue value;
};

constexpr TOptionKind kOptions[] = {
    {"--help", TValue::none},         {"--version", TValue::none},
    {"--list-ports", TValue::none},   {"--batch", TValue::none},
    {"--ddd", TValue::none},          {"--progress", TValue::none},
    {"--trace", TValue::folder},      {"--log", TValue::folder},
    {"--silence-limit", TValue::seconds}, {"--device", TValue::path},
    {"--same-usb-device", TValue::none},
};

// --progress takes a format only after '=' or as exactly one of these words, so that a FILE
// after a bare --progress stays positional.
bool IsProgressFormat(const std::string& text) { return text == "text" || text == "json"; }

const TOptionKind* FindOption(const std::string& name) {
    for (const TOptionKind& kind : kOptions) {
        if (name == kind.name) return &kind;
    }
    return nullptr;
}

bool ParseSeconds(const std::string& text, std::uint32_t& seconds) {
    if (text.empty() || text.size() > 6) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > kMaxSilenceLimitSeconds) return false;
    seconds = value;
    return true;
}

// The main window takes the first argument as its port number; a text it cannot read as one (or a
// number beyond what the port accepts) silently stops its start-up, so a batch run would never
// start. Such a text is refused up front.
bool PortArgumentUsable(const std::string& text) {
    try {
        const int number = StrToInt(text);
        return number >= 0 && number <= 0xFFFF;
    } catch (const std::exception&) {
        return false;
    }
}

std::string ExitCodeLines(std::initializer_list<std::pair<int, const char*>> codes) {
    std::string text;
    for (const auto& [code, meaning] : codes) {
        const std::string number = std::to_string(code);
        text += std::string(number.size() < 3 ? 3 - number.size() : 0, ' ') + number + "  " +
                meaning + "\n";
    }
    return text;
}

// MODE, as parsed, asks for the USB storage mode: it contains "USB" in any case, as the window
// reads it.
bool AsksForUsbMode(const TCommandLine& line) {
    // MODE follows FILE: the third positional argument, or the second with --device.
    const std::size_t at = line.device.empty() ? 2 : 1;
    if (line.positional.size() <= at) return false;
    std::string mode = line.positional[at];
    for (char& c : mode) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return mode.find("USB") != std::string::npos;
}

}  // namespace

std::uint32_t TCommandLine::SilenceLimitSeconds() const {
    if (silenceLimitSeconds) return *silenceLimitSeconds;
    return batch ? kBatchSilenceLimitSeconds : 0;
}

namespace {

// --progress takes an optional value: "text" or "json" after '=' or as the next argument.
std::string TakeProgress(const std::vector<std::string>& arguments, std::size_t& i, TCommandLine& line) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.find('=');
    std::string value;
    if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size() && IsProgressFormat(arguments[i + 1])) {
        value = arguments[++i];
    }
    if ((equals != std::string::npos || !value.empty()) && !IsProgressFormat(value)) {
        return "--progress takes text or json, not '" + value + "'";
    }
    line.progress = true;
    line.progressJson = value == "json";
    return {};
}

// The value of the option at arguments[i] (after '=' or the next argument); an error when it
// is missing or given to an option that takes none.
std::string TakeValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name,
                      const TOptionKind& kind, std::string& value) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.find('=');
    if (kind.value == TValue::none) return equals == std::string::npos ? std::string() : name + " takes no value";
    if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
    } else {
        return name + (kind.value == TValue::folder ? " needs a folder"
                       : kind.value == TValue::path ? " needs a device path"
                                                     : " needs a number of seconds");
    }
    return {};
}

std::string ApplyOption(const std::string& name, const TOptionKind& kind, const std::string& value,
                        TCommandLine& line) {
    if (name == "--help") line.help = true;
    else if (name == "--version") line.version = true;
    else if (name == "--list-ports") line.listPorts = true;
    else if (name == "--batch") line.batch = true;
    else if (name == "--ddd") line.ddd = true;
    else if (name == "--same-usb-device") line.sameUsbDevice = true;
    else if (kind.value == TValue::path) {
        if (value.empty()) return name + " needs a device path";
        line.device = value;
    } else if (kind.value == TValue::folder) {
        if (value.empty()) return name + " needs a folder";
        (name == "--trace" ? line.traceDir : line.logDir) = value;
    } else {
        std::uint32_t seconds = 0;
        if (!ParseSeconds(value, seconds)) {
            return name + " needs a whole number of seconds from 0 to " +
                   std::to_string(kMaxSilenceLimitSeconds) + ", not '" + value + "'";
        }
        line.silenceLimitSeconds = seconds;
    }
    return {};
}

// What the options and arguments ask for together.
std::string CheckCombination(const TCommandLine& line) {
    if (line.batch && !line.help && !line.version && !line.listPorts) {
        if (!line.device.empty()) {
            if (line.positional.empty()) return "--batch --device needs FILE (see --help)";
        } else if (line.positional.size() < 2) {
            return "--batch needs PORT and FILE (see --help)";
        } else if (!PortArgumentUsable(line.positional[0])) {
            return "PORT must be a port number such as 3, not '" + line.positional[0] + "' (see --list-ports)";
        }
    }
    if (line.sameUsbDevice && (!line.batch || !AsksForUsbMode(line))) {
        return "--same-usb-device needs --batch and the USB storage mode (MODE USB)";
    }
    return {};
}

}  // namespace

TCommandLineResult ParseCommandLine(const std::vector<std::string>& arguments) {
    TCommandLineResult result;
    TCommandLine& line = result.commandLine;
    for (std::size_t i = 0; i < arguments.size() && result.error.empty(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0) {
            line.positional.push_back(argument);
            continue;
        }
        const std::string name = argument.substr(0, argument.find('='));
        const TOptionKind* kind = FindOption(name);
        std::string value;
        if (!kind) {
            result.error = "unknown option " + argument + " (see --help)";
        } else if (name == "--progress") {
            result.error = TakeProgress(arguments, i, line);
        } else if ((result.error = TakeValue(arguments, i, name, *kind, value)).empty()) {
            result.error = ApplyOption(name, *kind, value, line);
        }
    }
    if (result.error.empty()) result.error = CheckCombination(line);
    return result;
}

std::string CheckOutputFolders(TCommandLine& line) {
    struct Folder {
        const char* option;
        std::string& path;
        const char* fileName;
    };
    for (Folder folder : {Folder{"--trace", line.traceDir, "TEVO.TRC"},
                          Folder{"--log", line.logDir, "TEVO.LOG"}}) {
        if (folder.path.empty()) continue;
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(folder.path), ec);
        if (!ec) folder.path = Utf8FromPath(absolute.lexically_normal());
        while (folder.path.size() > 1 && IsPathSeparator(folder.path.back())) folder.path.pop_back();
        if (!std::filesystem::is_directory(PathFromUtf8(folder.path), ec)) {
            return std::string(folder.option) + ": " + folder.path + " is not a folder";
        }
        if (!FolderWritable(folder.path)) {
            return std::string(folder.option) + ": " + folder.path + " is not writable";
        }
        if (folder.path.size() + 1 + std::strlen(folder.fileName) > kMaxPortFileName) {
            return std::string(folder.option) + ": the path of " + folder.fileName + " in " +
                   folder.path + " is longer than " + std::to_string(kMaxPortFileName) +
                   " characters";
        }
    }
    return {};
}

std::string UsageText() {
    return std::string("Usage: kavodown [OPTIONS] [PORT [FILE [MODE]]]\n"
           "       kavodown [OPTIONS] --device PATH [FILE [MODE]]\n"
           "Loads a firmware file into a signature-pad terminal over a serial line.\n"
           "\n"
           "  PORT   port number, for instance 3 for COM3 (see --list-ports)\n"
           "  FILE   full path of the firmware file\n"
           "  MODE   a word containing USB (any case) selects the USB storage mode\n"
           "With any argument the transfer starts by itself 500 ms after start-up.\n"
           "\n"
           "Options:\n"
           "  --batch               no window; every failure ends the run at once with its own\n"
           "                        exit code and one line on the standard error (needs PORT\n"
           "                        and FILE)\n"
           "  --ddd                 tick \"DDD Start\": wake the terminal's loader first\n"
           "  --device PATH         the port's device (/dev/ttyUSB0, a /dev/serial/by-path\n"
           "                        link) instead of a PORT number\n"
           "  --progress            one status line per report on the standard error\n"
           "  --progress json       one JSON object per report on the standard output, and\n"
           "                        one last object with the exit code, the outcome's line\n"
           "                        and the firmware's SHA-256\n"
           "  --silence-limit SECS  end the transfer when the terminal stays silent this long\n"
           "                        (0: never; --batch: 60 by default); with --batch in USB\n"
           "                        storage mode also the longest wait for the terminal's\n"
           "                        volume, and for it to go away once the file is on it\n"
           "  --same-usb-device     with --batch in USB storage mode: take only the volume of\n"
           "                        the port's own USB device (the same physical place), and\n"
           "                        end only when that one goes away; a removal before the\n"
           "                        terminal acknowledged the firmware ends with 7\n"
           "  --trace DIR           write the port's byte trace to DIR/TEVO.TRC at the end\n"
           "  --log DIR             write the port's dispatch log to DIR/TEVO.LOG at the end\n"
           "  --list-ports          list the port numbers with their devices and exit\n"
           "  --help                show this help and exit\n"
           "  --version             show the version and exit\n"
           "\n"
           "Exit codes:\n") +
           ExitCodeLines({{kExitOk, "the transfer succeeded, or the exit button while nothing "
                                    "was being sent"},
                          {kExitVolumeRemoved, "USB storage mode: a volume was removed"},
                          {kExitTransferFailed, "the transfer failed, or the exit button cancelled "
                                                "it"}}) +
           "With --batch also:\n" +
           ExitCodeLines({{kExitFileMissing, "the firmware file is missing"},
                          {kExitPortMissing, "no port number, or no device behind it"},
                          {kExitPortBusy, "the port is held by another program"},
                          {kExitPermissionDenied, "no permission to open the port"},
                          {kExitNoAnswer, "the terminal did not answer \"DDD\""},
                          {kExitDeviceLost, "the port's device went away during the transfer"},
                          {kExitOtherError, "any other failure"},
                          {kExitNoVolume, "USB storage mode: no terminal volume within the "
                                          "silence limit"}}) +
           ExitCodeLines({{kExitUsage, "a bad command line"}}) +
           "128+n  stopped by signal n during the transfer (with --batch: before the run\n"
           "       ended)\n";
}

}  // namespace kavo
