// kavodown --station: reads the firmware once, hashes it and runs the station: headless with
// --batch (station/station.h), else in the window that `window` runs. Returns the program's exit
// code.
#pragma once

#include "station/station.h"

#include <functional>
#include <string>
#include <vector>

namespace kavo {

using TStationWindowRun = std::function<int(const station::TStationOptions& options,
                                            const station::TStationImage& image,
                                            const std::string& program)>;

int RunStationCommand(const std::vector<std::string>& arguments, const TStationWindowRun& window);

}  // namespace kavo
