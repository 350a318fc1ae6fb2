// The program entry of kavodown, for every build: the command line, --help, --version,
// --list-ports, the station, and the unattended run (--batch), which needs no toolkit.
//
// A build with a window passes its front ends; a build without one passes none, and a run that
// would need a window then says so in one line and ends with the usage code.
//
// Thread safety: the main thread.
#pragma once

#include "app/command_line.h"

#include <functional>
#include <string>

namespace kavo {

namespace station {
struct TStationImage;
struct TStationOptions;
}  // namespace station

struct TFrontEnds {
    // The main window over the download sequence; returns the exit code.
    std::function<int(const TCommandLine& commandLine, int& argc, char** argv)> window;
    // The station in its window; returns the exit code.
    std::function<int(const station::TStationOptions& options, const station::TStationImage& image,
                      const std::string& program, int& argc, char** argv)>
        stationWindow;
};

int RunProgram(int argc, char** argv, const TFrontEnds& frontEnds, const char* version);

// The unattended run: the download sequence without a window, on the platform's event loop.
int RunBatch(const TCommandLine& commandLine);

}  // namespace kavo
