#include "tool_options.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kavo::sim {

bool ParseUnsigned(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != 0) return false;
    out = value;
    return true;
}

bool ParseNumber(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0;
}

std::string OptionValue(const char* tool, int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        std::cerr << tool << ": " << argv[i] << " needs a value\n";
        std::exit(2);
    }
    return argv[++i];
}

void BadOptionValue(const char* tool, const std::string& option, const std::string& value) {
    std::cerr << tool << ": bad value for " << option << ": " << value << "\n";
    std::exit(2);
}

int StopSignalFd(const char* tool) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int fd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (fd < 0) std::perror((std::string(tool) + ": signalfd").c_str());
    return fd;
}

}  // namespace kavo::sim
