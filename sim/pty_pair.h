// A pseudo-terminal pair: the subordinate end's path is what the tool opens as a serial port;
// the caller (a test, or a simulator standing in for the far end) reads and writes the
// controlling end. Both ends are in raw mode.
//
// Thread safety: one object belongs to one thread at a time; the descriptor may be handed to a
// relay thread that then owns all reads and writes on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kavo::sim {

class PtyPair {
public:
    PtyPair();  // throws std::runtime_error when no pty can be made
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Path of the end the tool opens (/dev/pts/N).
    const std::string& DevicePath() const { return path_; }
    // The controlling end, non-blocking.
    int ControlFd() const { return control_; }

    // Writes all bytes to the controlling end (waits while the pty is full).
    void Write(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& bytes);
    // Reads what arrives until `count` bytes came or the deadline passed.
    std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds deadline);
    // Reads until the line has been quiet for `quiet` (or `deadline` passed).
    std::vector<std::uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet,
                                             std::chrono::milliseconds deadline);
    // Closes the controlling end: the tool's side sees a hang-up, as with an unplugged adapter.
    void CloseControl();

private:
    int control_ = -1;
    int keepOpen_ = -1;  // the subordinate end, held so the pty survives the tool's close
    std::string path_;
};

}  // namespace kavo::sim
