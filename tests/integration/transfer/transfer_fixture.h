// A transfer over a real port component: the port opens end A of a line simulator (mapped to a
// port number with KAVODOWN_PORTS), the protocol component sends a file, and a receiver of the
// test's choice runs on end B. The test's thread runs the message loop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"
#include "line_sim.h"
#include "transfer_components.h"

namespace kavo::test {
using namespace kavo::sim;

// Waits for a child (a receiver we did not write) to end while the message loop runs; its exit
// code, or nullopt after the deadline.
inline std::optional<int> WaitPumping(ChildProcess& child, std::chrono::milliseconds deadline) {
    PumpUntil([&] { return child.Poll().has_value(); }, deadline);
    return child.Poll();
}

class TransferOverLine : public TransferComponents {
protected:
    void TearDown() override {
        TransferComponents::TearDown();
        line.reset();
        unsetenv("KAVODOWN_PORTS");
    }

    void MakeLine(LineSimOptions options = {}) {
        line = std::make_unique<LineSim>(options);
        line->Start();
        const std::string map = std::to_string(portNumber) + "=" + line->PathA();
        setenv("KAVODOWN_PORTS", map.c_str(), 1);
    }

    std::unique_ptr<LineSim> line;
};

}  // namespace kavo::test
