// kavodown --station: reads the firmware once, hashes it and runs the station: headless with
// --batch (station/station.h), else in its window (station_window.h). Returns the program's
// exit code.
#pragma once

#include <string>
#include <vector>

namespace kavo {

int RunStationCommand(const std::vector<std::string>& arguments, int& argc, char** argv);

}  // namespace kavo
