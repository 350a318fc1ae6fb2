// One place to plug a terminal in, for the tests that run the station against simulators: a line
// simulator whose end A appears at the slot's path (the slot sees a device come), and a terminal
// simulator on its end B. Stopping the line simulator unplugs the terminal (the link goes away).
// The two are started by separate calls that say whether the simulator was ready, so that each
// test decides what a simulator that did not start means for it.
//
// Thread safety: one object belongs to one thread at a time.
#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace kavo::test {

struct TPlugged {
    // Starts the line simulator in `binDir` between `slot` (end A) and `linkB`, relaying at
    // `baud` (0: at once); whether it said it was ready within 20 s.
    bool StartLine(const std::string& binDir, int baud, const std::string& slot, const std::string& linkB) {
        line = std::make_unique<sim::ChildProcess>(sim::ChildProcess::Options{
            .argv = {binDir + "/linesim", "--baud", std::to_string(baud), "--link-a", slot, "--link-b", linkB},
            .out = sim::ChildProcess::Output::Capture, .err = sim::ChildProcess::Output::Null,
            .stopSignal = SIGTERM});
        return !line->WaitLine("linesim: ready", std::chrono::seconds(20)).empty();
    }

    // Starts the terminal simulator in `binDir` on `linkB`, expecting an image of `size` bytes,
    // which it writes to `outPath` when its session is over; `extraArgs` follow (faults, for
    // instance). Whether it said it was ready within 20 s.
    bool StartTerminal(const std::string& binDir, const std::string& linkB, const std::string& outPath,
                       std::size_t size, const std::vector<std::string>& extraArgs = {}) {
        std::vector<std::string> argv{binDir + "/termsim", linkB, "--out", outPath, "--size", std::to_string(size)};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        terminal = std::make_unique<sim::ChildProcess>(sim::ChildProcess::Options{
            .argv = argv, .out = sim::ChildProcess::Output::Capture, .err = sim::ChildProcess::Output::Null,
            .stopSignal = SIGTERM});
        return !terminal->WaitLine("termsim: ready", std::chrono::seconds(20)).empty();
    }

    std::unique_ptr<sim::ChildProcess> line, terminal;
};

}  // namespace kavo::test
