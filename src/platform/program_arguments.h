// The program's command-line arguments as UTF-8 text, on either platform.
//
// On Linux they are main's argv as given. On Windows main's argv is in the ANSI code page, which
// cannot hold every file name (a folder named in Hangul on a Western system): the arguments are
// taken from the wide command line instead and converted.
//
// Thread safety: no state; any thread may call.
#pragma once

#include <string>
#include <vector>

namespace kavo {

// argv[0] .. argv[argc - 1], as UTF-8.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace kavo
