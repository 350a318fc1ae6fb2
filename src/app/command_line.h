// The command line of kavodown: the main window's positional arguments and the program's options.
//
//   kavodown [OPTIONS] [PORT [FILE [MODE]]]
//   kavodown [OPTIONS] --device PATH [FILE [MODE]]
//
// Arguments that begin with "--" are options of the program; every other argument is positional,
// wherever it stands, so an option never shifts PORT, FILE or MODE. An option's value follows it
// as the next argument or after '=' ("--trace DIR", "--trace=DIR"). Without options the program
// behaves as the main window's command line alone says.
//
// Thread safety: plain functions without state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavo {

// A silent receiver ends a --batch run after this many seconds unless --silence-limit says
// otherwise.
constexpr std::uint32_t kBatchSilenceLimitSeconds = 60;
// The largest --silence-limit accepted (a day).
constexpr std::uint32_t kMaxSilenceLimitSeconds = 86400;

struct TCommandLine {
    std::vector<std::string> positional;  // PORT, FILE, MODE (and any further ones), in order

    bool help = false;       // --help
    bool version = false;    // --version
    bool listPorts = false;  // --list-ports
    bool batch = false;      // --batch: no window, every early stop ends the run with its code
    bool ddd = false;        // --ddd: tick "DDD Start"
    bool progress = false;   // --progress: status reports on the standard error
    bool progressJson = false;  // --progress json: as JSON lines on the standard output
    std::string device;      // --device PATH: the port's device, instead of PORT
    // --same-usb-device (with --batch in USB storage mode): only the volume of the port's own
    // USB device counts, for its arrival and for its removal.
    bool sameUsbDevice = false;
    std::string traceDir;    // --trace DIR: byte trace dumped into DIR; empty: off
    std::string logDir;      // --log DIR: dispatch log dumped into DIR; empty: off
    std::optional<std::uint32_t> silenceLimitSeconds;  // --silence-limit SECONDS

    // The silence limit the run uses, in seconds: the option's, else kBatchSilenceLimitSeconds
    // with --batch, else 0 (no limit).
    std::uint32_t SilenceLimitSeconds() const;
};

struct TCommandLineResult {
    TCommandLine commandLine;
    // Empty when the command line is good; otherwise one line saying what is wrong (without the
    // program's name), for the standard error.
    std::string error;
};

// Parses the arguments after the program name. --help, --version and --list-ports excuse a
// --batch run from its required arguments; a bad option or value is an error all the same.
TCommandLineResult ParseCommandLine(const std::vector<std::string>& arguments);

// Checks the folders of --trace and --log: each must be an existing folder that this process can
// write to, and the file's full path must fit the system's 4095-character limit. Returns an
// empty text when they are good, else one line saying what is wrong. Relative folders are made
// absolute in `commandLine`.
std::string CheckOutputFolders(TCommandLine& commandLine);

// The text of --help, ending with a newline.
std::string UsageText();

}  // namespace kavo
