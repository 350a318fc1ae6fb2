// linesim: a simulated null-modem cable between two pseudo-terminals.
//
//   linesim [--baud N] [--latency-ms MS] [--seed S] [--link-a PATH] [--link-b PATH]
//           [--corrupt-a2b P] [--drop-a2b P] [--stall-a2b K:MS] [--cut-a2b N]
//           [--corrupt-b2a P] [--drop-b2a P] [--stall-b2a K:MS] [--cut-b2a N]
//
// Prints "linesim: ready A=<path> B=<path>" once both ends exist, relays until SIGINT or SIGTERM
// (or until a cut), then prints what it did.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <optional>
#include <string>

#include "line_sim.h"
#include "tool_options.h"

namespace {

using namespace kavo::sim;

void Usage() {
    std::cerr <<
        "Usage: linesim [options]\n"
        "  --baud N            bit rate of the line; 0 relays without pacing (default 115200)\n"
        "  --parity            add a parity bit to each byte's frame\n"
        "  --stop-bits N       1 or 2 (default 1)\n"
        "  --latency-ms MS     extra one-way delay (default 0)\n"
        "  --seed S            seed of the fault decisions (default 1)\n"
        "  --link-a PATH       symlink to end A's device (end B: --link-b)\n"
        "  --sysfs ROOT --usb-device-a DIR   a simulated sysfs (the tool's KAVODOWN_SYSFS) and\n"
        "                      the folder in it of a USB device: end A shows as its serial\n"
        "                      interface from before its link appears\n"
        "  faults, per direction (a2b: written on A, read on B; b2a: the other way):\n"
        "  --corrupt-a2b P     flip one bit of a byte with probability P\n"
        "  --drop-a2b P        drop a byte with probability P\n"
        "  --stall-a2b K:MS    after byte K the line is silent for MS milliseconds\n"
        "  --cut-a2b N         after N bytes both ends hang up\n"
        "  (the same with b2a)\n";
}

// A fault option of one direction (--corrupt-a2b P, --stall-b2a N:MS, ...); false when `what`
// names no fault.
bool TakeFault(const std::string& arg, const std::string& what, const std::string& v,
               kavo::sim::LineFaults& f) {
    std::uint64_t u = 0;
    double d = 0;
    if (what == "corrupt" || what == "drop") {
        if (!ParseNumber(v, d) || d < 0 || d > 1) BadOptionValue("linesim", arg, v);
        (what == "corrupt" ? f.corruptProbability : f.dropProbability) = d;
    } else if (what == "stall") {
        const auto colon = v.find(':');
        std::uint64_t ms = 0;
        if (colon == std::string::npos || !ParseUnsigned(v.substr(0, colon), u) || u == 0 ||
            !ParseUnsigned(v.substr(colon + 1), ms) || ms > 3600000) {
            BadOptionValue("linesim", arg, v);
        }
        f.stallAfterByte = u;
        f.stallMs = static_cast<int>(ms);
    } else if (what == "cut") {
        if (!ParseUnsigned(v, u) || u == 0) BadOptionValue("linesim", arg, v);
        f.cutAfterBytes = u;
    } else {
        return false;
    }
    return true;
}

// An unsigned number of at most `max` (and at least `min`), else the end with a usage error.
std::uint64_t TakeNumber(const std::string& arg, const std::string& v, std::uint64_t min, std::uint64_t max) {
    std::uint64_t u = 0;
    if (!ParseUnsigned(v, u) || u < min || u > max) BadOptionValue("linesim", arg, v);
    return u;
}

// Reads the command line into `options`; an exit code when the program is to end at once.
std::optional<int> ParseOptions(int argc, char** argv, kavo::sim::LineSimOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return OptionValue("linesim", argc, argv, i); };
        constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();
        const bool directed = arg.starts_with("--") && arg.size() > 6 &&
                              (arg.ends_with("-a2b") || arg.ends_with("-b2a"));
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--baud") {
            options.baud = static_cast<unsigned>(TakeNumber(arg, value(), 0, 100000000));
        } else if (arg == "--parity") {
            options.parity = true;
        } else if (arg == "--stop-bits") {
            options.stopBits = static_cast<int>(TakeNumber(arg, value(), 1, 2));
        } else if (arg == "--latency-ms") {
            options.latencyMs = static_cast<int>(TakeNumber(arg, value(), 0, 60000));
        } else if (arg == "--seed") {
            options.seed = TakeNumber(arg, value(), 0, kAny);
        } else if (arg == "--link-a") {
            options.linkA = value();
        } else if (arg == "--link-b") {
            options.linkB = value();
        } else if (arg == "--sysfs") {
            options.sysfsRoot = value();
        } else if (arg == "--usb-device-a") {
            options.usbDeviceA = value();
        } else if (!directed || !TakeFault(arg, arg.substr(2, arg.size() - 6), value(),
                                           arg.ends_with("-a2b") ? options.aToB : options.bToA)) {
            std::cerr << "linesim: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    kavo::sim::LineSimOptions options;
    options.baud = 115200;
    if (const std::optional<int> code = ParseOptions(argc, argv, options)) return *code;

    // The signals are taken through a descriptor, so the wait below sees them and the cut alike.
    const int sigFd = StopSignalFd("linesim");
    if (sigFd < 0) return 1;

    try {
        kavo::sim::LineSim sim(options);
        sim.Start();
        std::cout << "linesim: ready A=" << sim.PathA() << " B=" << sim.PathB();
        if (!options.linkA.empty()) std::cout << " link-a=" << options.linkA;
        if (!options.linkB.empty()) std::cout << " link-b=" << options.linkB;
        std::cout << std::endl;

        pollfd pfds[2] = {{sigFd, POLLIN, 0}, {sim.FinishedFd(), POLLIN, 0}};
        while (true) {
            int rc = poll(pfds, 2, -1);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0 || (pfds[0].revents & POLLIN) || (pfds[1].revents & POLLIN)) break;
        }
        sim.Stop();
        std::cout << kavo::sim::FormatCounts(sim.Counts()) << std::flush;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    close(sigFd);
    return 0;
}
