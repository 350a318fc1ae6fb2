// The station's place in the program entry. Builds that carry the station (Linux) run it when the
// arguments ask for it; the Windows program has no station, so there the arguments go on to the
// command line's parser like any others.
//
// Thread safety: the main thread.
#pragma once

#include "app/entry/program_entry.h"

#include <optional>
#include <string>
#include <vector>

namespace kavo {

// The station's exit code when `arguments` ask for the station, else nothing.
std::optional<int> RunStationIfAsked(const std::vector<std::string>& arguments,
                                     const TFrontEnds& frontEnds, int& argc, char** argv);

// Says that this build has no window and what to do instead; returns the usage code.
int NoWindow(const char* what);

}  // namespace kavo
