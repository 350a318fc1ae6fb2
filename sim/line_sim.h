// The line simulator: a null-modem cable between two pseudo-terminals, for tests, benchmarks and
// the demo. Each end is a pty whose subordinate path (/dev/pts/N, or a symlink put at a chosen
// path) is what a program opens as its serial port; what the program on end A writes reaches the
// program on end B, and the other way round.
//
// Per direction the cable can
//  - pace bytes like a UART: a byte arrives only when its start, data, parity and stop bits have
//    passed at the chosen baud rate, and bytes queue behind each other (baud 0 relays at once);
//  - add a one-way latency (as a USB adapter's latency timer does);
//  - inject faults that depend only on the seed and the byte's position in its direction, so a run
//    with the same seed and the same traffic damages the same bytes: flip one bit with a given
//    probability, drop a byte with a given probability, stall the line for T ms after byte K, and
//    cut the cable after N bytes (both ends hang up, as when an adapter is unplugged).
//
// A program may close its end and open it again at any time (the tool opens the port for each
// transfer). While an end is closed, bytes that reach it are discarded, as a closed port would;
// what it wrote before it closed still crosses, as a closing port lets its queued output leave.
//
// Thread safety: Start, Stop and the destructor belong to the owning thread. Counts, Finished and
// the path getters may be called from any thread. The relay itself runs on a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace kavo::sim {

// Faults of one direction. Zero values switch a fault off.
struct LineFaults {
    double corruptProbability = 0.0;  // per byte: one bit of the byte is flipped
    double dropProbability = 0.0;     // per byte: the byte never arrives
    std::uint64_t stallAfterByte = 0;  // K (1-based): after byte K the line is silent ...
    int stallMs = 0;                   // ... for this long
    std::uint64_t cutAfterBytes = 0;   // N: once N bytes have passed, both ends hang up
};

struct LineSimOptions {
    unsigned baud = 0;  // 0: no pacing
    int dataBits = 8;
    bool parity = false;
    int stopBits = 1;
    int latencyMs = 0;  // extra one-way delay, both directions
    std::uint64_t seed = 1;
    LineFaults aToB;  // bytes written on end A, read on end B
    LineFaults bToA;
    std::string linkA;  // optional symlink paths to the ends' device paths
    std::string linkB;
    // A simulated sysfs (the tool reads it through KAVODOWN_SYSFS) and the folder in it that
    // stands for a USB device: end A then shows as that device's serial interface
    // (<sysfsRoot>/class/tty/<pts number>/device leads below it) from before its link appears
    // until the simulator ends.
    std::string sysfsRoot, usbDeviceA;
    // Bytes in flight per direction before the simulator stops taking more from the sender, so
    // that a writer feels the line's speed as with a real driver buffer.
    std::size_t queueLimit = 4096;
    // Bytes due within this window are delivered in one write; keeps the relay from waking for
    // every byte at high rates.
    std::chrono::microseconds granularity{500};
};

struct LineDirectionCounts {
    std::uint64_t received = 0;    // bytes taken from the sender
    std::uint64_t delivered = 0;   // bytes handed to the receiving end
    std::uint64_t corrupted = 0;   // bytes delivered with one bit flipped
    std::uint64_t dropped = 0;     // bytes dropped by the fault
    std::uint64_t stalls = 0;      // stalls performed
    std::uint64_t lostClosed = 0;  // bytes discarded because the receiving end was closed
    std::uint64_t discardedAtCut = 0;  // bytes that were still in flight or came after the cut
};

struct LineSimCounts {
    LineDirectionCounts aToB;
    LineDirectionCounts bToA;
    unsigned opensA = 0, closesA = 0;  // opens and closes of the ends noticed
    unsigned opensB = 0, closesB = 0;
    bool cut = false;
};

// Renders the counts as text lines for the tools.
std::string FormatCounts(const LineSimCounts& counts);

// The fault decisions, exposed so that tests can predict them: whether byte `index` (1-based) of
// direction `direction` (0 = A to B, 1 = B to A) is dropped, and which bit mask corrupts it (0 =
// not corrupted).
struct ByteFate {
    bool drop = false;
    std::uint8_t flipMask = 0;
};
ByteFate FateOfByte(std::uint64_t seed, int direction, std::uint64_t index, const LineFaults& faults);

// Bits on the line per byte: start + data + parity + stop.
int BitsPerByte(const LineSimOptions& options);

class LineSim {
public:
    // Creates both ptys and the symlinks; throws std::runtime_error when that fails.
    explicit LineSim(LineSimOptions options);
    ~LineSim();
    LineSim(const LineSim&) = delete;
    LineSim& operator=(const LineSim&) = delete;

    // The device paths of the two ends (the symlink targets).
    const std::string& PathA() const { return pathA_; }
    const std::string& PathB() const { return pathB_; }

    void Start();
    // Stops relaying; bytes still in flight are discarded. Idempotent.
    void Stop();

    LineSimCounts Counts() const;
    // True once the cable has been cut (the relay has ended).
    bool Finished() const { return finished_.load(); }
    // Waits until the relay has ended (cut) or the deadline passed; returns Finished().
    bool WaitFinished(std::chrono::milliseconds deadline);
    // An eventfd that becomes readable when the relay ends; for poll() loops of the tools.
    int FinishedFd() const { return doneFd_; }

private:
    void Run(std::stop_token stop);
    void PlaceOnUsbDevice();
    void RemoveTtyEntry();

    LineSimOptions options_;
    std::string pathA_, pathB_;
    int masterA_ = -1, masterB_ = -1;
    int wakeFd_ = -1;
    int doneFd_ = -1;
    bool linkAMade_ = false, linkBMade_ = false;
    std::string ttyEntryA_;  // end A's entry in the simulated sysfs; empty when none was made
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::condition_variable finishedCv_;
    LineSimCounts counts_;
    std::jthread thread_;
};

}  // namespace kavo::sim
