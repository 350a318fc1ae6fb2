// The station in its window: the station's thread runs the poll loop, the GUI thread the window.
// SIGTERM and SIGINT reach the station's control as a stop by that signal. Returns the exit code.
#pragma once

#include "station/station.h"

#include <string>

namespace kavo {

int RunStationWindow(const station::TStationOptions& options, const station::TStationImage& image,
                     const std::string& program, int& argc, char** argv);

}  // namespace kavo
