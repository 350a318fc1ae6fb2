// A scripted XMODEM-1K receiver for the status window's tests, and a firmware file to send.
#pragma once

#include "pty_pair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;

using namespace std::chrono_literals;

// An XMODEM-1K receiver on the controlling end of the pty: asks with 'C' until the first block
// comes, acknowledges each block after `pace`, and records what it got.
class PacedReceiver {
public:
    PacedReceiver(PtyPair& pty, std::chrono::milliseconds pace) : pty_(pty), pace_(pace) {}
    ~PacedReceiver() { Stop(); }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int Blocks() const { return blocks_; }
    bool GotEot() const { return gotEot_; }
    bool GotCancel() const { return gotCancel_; }

private:
    static constexpr std::uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, CAN = 0x18;

    void Run() {
        bool started = false;
        auto lastAsk = std::chrono::steady_clock::now() - 10s;
        while (!stop_) {
            if (!started && std::chrono::steady_clock::now() - lastAsk > 2s) {
                pty_.Write(std::string("C"));
                lastAsk = std::chrono::steady_clock::now();
            }
            const auto head = pty_.Read(1, 100ms);
            if (head.empty()) continue;
            if (head[0] == STX || head[0] == SOH) {
                started = true;
                const std::size_t rest = head[0] == STX ? 1024 + 4 : 128 + 4;
                if (pty_.Read(rest, 5s).size() != rest) continue;
                ++blocks_;
                std::this_thread::sleep_for(pace_);  // the line's pace, not a wait for a result
                pty_.Write(std::vector<std::uint8_t>{ACK});
            } else if (head[0] == EOT) {
                gotEot_ = true;
                pty_.Write(std::vector<std::uint8_t>{ACK});
            } else if (head[0] == CAN) {
                gotCancel_ = true;
            }
        }
    }

    PtyPair& pty_;
    std::chrono::milliseconds pace_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> blocks_{0};
    std::atomic<bool> gotEot_{false};
    std::atomic<bool> gotCancel_{false};
};

// A file of `size` bytes in the test's temporary folder, named for this process (tests may run
// side by side).
inline std::string WriteFirmware(std::size_t size) {
    const std::string path = std::string(::testing::TempDir()) + "kavo_status_firmware_" +
                             std::to_string(::getpid()) + ".bin";
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
    return path;
}

}  // namespace kavo::test
