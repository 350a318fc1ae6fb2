// The far end of a line between two COM ports, for the serial engine's tests on Windows: the
// test writes bytes there that reach the dispatcher's port and reads what the dispatcher sent.
// The same calls as the pty pair's on Linux (Write, Read, ReadUntilQuiet).
//
// Thread safety: one thread may write while another reads; each call has its own overlapped
// record.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kavo::test {

class TComPeer {
public:
    explicit TComPeer(int number);  // opens \\.\COM<number>
    ~TComPeer();
    TComPeer(const TComPeer&) = delete;
    TComPeer& operator=(const TComPeer&) = delete;

    bool Opened() const;
    // Writes all bytes (waits while the line is full).
    void Write(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& bytes);
    // Reads what arrives until `count` bytes came or the deadline passed.
    std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds deadline);
    // Reads until the line has been quiet for `quiet` (or `deadline` passed).
    std::vector<std::uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds deadline);

private:
    // Takes what is waiting, at most `limit` bytes; none when nothing is.
    std::size_t TakeWaiting(std::vector<std::uint8_t>& into, std::size_t limit);

    void* handle_;
};

}  // namespace kavo::test
