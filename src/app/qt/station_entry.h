// kavodown --station: reads the firmware once, hashes it and runs the headless station
// (station/station.h). Returns the program's exit code.
#pragma once

#include <string>
#include <vector>

namespace kavo {

int RunStationCommand(const std::vector<std::string>& arguments);

}  // namespace kavo
