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
#include <cstdlib>
#include <iostream>
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

}  // namespace

int main(int argc, char** argv) {
    kavo::sim::LineSimOptions options;
    options.baud = 115200;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&] { return OptionValue("linesim", argc, argv, i); };
        auto bad = [&](const std::string& v) { BadOptionValue("linesim", arg, v); };
        std::uint64_t u = 0;
        double d = 0;
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--baud") {
            std::string v = value();
            if (!ParseUnsigned(v, u) || u > 100000000) bad(v);
            options.baud = static_cast<unsigned>(u);
        } else if (arg == "--parity") {
            options.parity = true;
        } else if (arg == "--stop-bits") {
            std::string v = value();
            if (!ParseUnsigned(v, u) || u < 1 || u > 2) bad(v);
            options.stopBits = static_cast<int>(u);
        } else if (arg == "--latency-ms") {
            std::string v = value();
            if (!ParseUnsigned(v, u) || u > 60000) bad(v);
            options.latencyMs = static_cast<int>(u);
        } else if (arg == "--seed") {
            std::string v = value();
            if (!ParseUnsigned(v, u)) bad(v);
            options.seed = u;
        } else if (arg == "--link-a") {
            options.linkA = value();
        } else if (arg == "--link-b") {
            options.linkB = value();
        } else if (arg == "--sysfs") {
            options.sysfsRoot = value();
        } else if (arg == "--usb-device-a") {
            options.usbDeviceA = value();
        } else if (arg.rfind("--", 0) == 0 && arg.size() > 6 &&
                   (arg.ends_with("-a2b") || arg.ends_with("-b2a"))) {
            kavo::sim::LineFaults& f = arg.ends_with("-a2b") ? options.aToB : options.bToA;
            const std::string what = arg.substr(2, arg.size() - 6);
            std::string v = value();
            if (what == "corrupt" || what == "drop") {
                if (!ParseNumber(v, d) || d < 0 || d > 1) bad(v);
                (what == "corrupt" ? f.corruptProbability : f.dropProbability) = d;
            } else if (what == "stall") {
                auto colon = v.find(':');
                std::uint64_t ms = 0;
                if (colon == std::string::npos || !ParseUnsigned(v.substr(0, colon), u) || u == 0 ||
                    !ParseUnsigned(v.substr(colon + 1), ms) || ms > 3600000) {
                    bad(v);
                }
                f.stallAfterByte = u;
                f.stallMs = static_cast<int>(ms);
            } else if (what == "cut") {
                if (!ParseUnsigned(v, u) || u == 0) bad(v);
                f.cutAfterBytes = u;
            } else {
                std::cerr << "linesim: unknown option " << arg << "\n";
                Usage();
                return 2;
            }
        } else {
            std::cerr << "linesim: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }

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
