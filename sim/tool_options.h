// What the simulator tools' mains (linesim, termsim) share: reading option values, and taking
// SIGINT and SIGTERM through a descriptor that their poll loops wait on.
//
// Thread safety: for a tool's main thread. StopSignalFd blocks the two signals in the calling
// thread, so call it before starting any other thread (they inherit the mask).
#pragma once

#include <cstdint>
#include <string>

namespace kavo::sim {

// True when `text` is a decimal number without a sign that fits 64 bits; `out` gets it.
bool ParseUnsigned(const std::string& text, std::uint64_t& out);
// True when all of `text` is a floating-point number; `out` gets it.
bool ParseNumber(const std::string& text, double& out);

// The value that follows the option argv[i]; `i` moves on to it. Without one the tool ends with
// exit code 2 and "<tool>: <option> needs a value".
std::string OptionValue(const char* tool, int argc, char** argv, int& i);
// Ends the tool with exit code 2 and "<tool>: bad value for <option>: <value>".
[[noreturn]] void BadOptionValue(const char* tool, const std::string& option, const std::string& value);

// Blocks SIGINT and SIGTERM for the process and returns a descriptor that becomes readable when
// one of them comes; -1 after reporting the failure on standard error.
int StopSignalFd(const char* tool);

}  // namespace kavo::sim
