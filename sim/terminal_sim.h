// The terminal simulator: behaves as a signature-pad terminal's loader on a serial port path, so
// that tests, benchmarks and the demo can run the tool without hardware.
//
// The loader
//  - answers the wake-up "DDD" with one ACK;
//  - asks for a file by XMODEM, sending 'C' (CRC-16) or NAK (arithmetic checksum) once per
//    handshake period until the first block comes; accepts 128-byte (SOH) and 1024-byte (STX)
//    blocks in any mix, checks block number, complement and check value, ACKs good blocks, ACKs
//    a repeated block without keeping it again, NAKs damaged ones, and ACKs the EOT;
//  - answers a framed command packet (0x02, command, two-byte BCD length, data, XOR LRC) with one
//    ACK (one NAK when the LRC is wrong) and can send framed packets of its own;
//  - in USB mode, presents a FAT volume with a Down folder (mounted through FUSE), waits for the
//    firmware to appear there and for the command 0xD1 "E", ACKs it and removes the volume.
// Faults can be asked for: NAK chosen blocks, answer garbage, cancel at a block, stay silent for
// the first handshake periods, never answer, stop answering after a block or at the EOT. A loader
// can also talk before it asks: print a line before its start characters, echo what it receives,
// or print and never ask at all.
//
// Thread safety: one TerminalSim runs one session. Start/Wait/Stop belong to the owning thread;
// Stop may also be called from another thread while Run blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavo::sim {

constexpr std::uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18,
                       kSub = 0x1A;

// A framed command packet of the terminal protocol.
std::vector<std::uint8_t> FramePacket(std::uint8_t command, const std::vector<std::uint8_t>& data);
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size);
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

struct TerminalSimOptions {
    std::string portPath;
    std::string outputPath;  // received file; empty: kept in the result only

    // Receiving.
    bool checksum = false;  // ask with NAK for the arithmetic checksum instead of CRC-16
    int handshakeMs = 1000;  // period of the start character
    std::int64_t trimSize = -1;  // cut the received file to this many bytes
    bool stripSub = false;       // remove the 0x1A padding at the end of the received file
    int blockTimeoutMs = 10000;  // silence in a running transfer before the receiver NAKs
    int byteTimeoutMs = 1000;    // gap allowed between the bytes of one block or packet
    int purgeQuietMs = 150;      // after a damaged block: the line is quiet this long before NAK
    int maxErrors = 10;          // errors in a row before the receiver gives up (cancels)
    int timeoutMs = 0;           // the whole session; 0: no limit

    // Faults, by block sequence number (1 for the first block, counting on past 255).
    std::map<std::uint64_t, int> nakBlocks;      // block -> times a good copy is NAKed
    std::map<std::uint64_t, int> garbageBlocks;  // block -> times a good copy is answered with garbage
    std::uint8_t garbageByte = '?';
    std::uint64_t cancelAtBlock = 0;  // answer this block with CAN
    int cancelCount = 1;              // how many CAN bytes
    std::uint64_t stopAfterBlock = 0;  // after ACKing this block, answer nothing more
    int ignoreHandshakes = 0;          // the first N handshake periods pass without a start character
    int garbageHandshakes = 0;         // the next N start characters are garbage bytes
    bool neverAnswer = false;          // read everything, answer nothing
    int nakEots = 0;                   // NAK the first N EOTs
    bool silentAtEot = false;          // answer every block, then nothing from the (first) EOT on

    // A talkative loader: before every start character, until the first block comes, it prints
    // this text; with echo it also sends back every byte it receives until then. With talkForever
    // it prints the text once per handshake period and never asks for the file.
    std::string greeting;
    bool echo = false;
    bool talkForever = false;

    // Packets of the simulator's own, sent after the port is open (after packetDelayMs) or, with
    // packetsAfterDdd, right after the answer to "DDD".
    std::vector<std::vector<std::uint8_t>> sendPackets;
    bool packetsAfterDdd = false;
    int packetDelayMs = 0;

    // USB mode.
    bool usb = false;
    std::string image;       // FAT image; empty: a temporary one
    std::string mountPoint;  // empty: a temporary folder
    int fatBits = 16;
    int imageMiB = 0;  // size of a new image; 0: 4, 16 or 64 MiB by FAT type
    bool usbRefuse = false;  // answer 0xD1 "E" with NAK and remove the volume all the same
    // A simulated sysfs (the tool reads it through KAVODOWN_SYSFS) and the folder in it that
    // stands for this terminal's USB device: while the volume is mounted, the entry of its
    // device number in <sysfsRoot>/dev/block leads to a block device below that folder, so the
    // tool finds the volume on the same USB device as the serial port that the test placed there.
    std::string sysfsRoot, usbDevice;

    // Called on the session's thread once the port is open (and the volume mounted).
    std::function<void()> onReady;
    // Called on the session's thread after a well-formed packet was answered with ACK; its
    // command byte.
    std::function<void(std::uint8_t)> onPacketAcked;
};

struct TerminalSimResult {
    enum class Outcome {
        Received,        // a file came by XMODEM and the EOT was acknowledged
        UsbDelivered,    // USB mode: the firmware was on the volume when 0xD1 "E" came
        SenderCancelled, // CAN CAN from the sender
        Failed,          // too many errors, wrong block sequence, missing firmware, setup error
        TimedOut,        // the session time limit passed
        HungUp,          // the port went away
        FaultEnded,      // a requested fault ended the session (cancel, stop, never answer)
        Stopped,         // Stop() was called
    };
    Outcome outcome = Outcome::Failed;
    std::string message;
    std::vector<std::uint8_t> data;  // the received file (trimmed as asked)
    std::uint64_t blocks = 0;        // blocks accepted
    std::uint64_t blocks128 = 0, blocks1024 = 0;
    std::uint64_t retries = 0;       // NAKs sent for blocks and EOTs
    std::uint64_t repeats = 0;       // repeated blocks acknowledged again
    bool crc = true;                 // the check the receiver asked for
    std::uint64_t handshakes = 0;    // start characters sent
    std::uint64_t dddAnswered = 0;
    std::vector<std::vector<std::uint8_t>> packets;  // well-formed packets received, whole frames
    std::uint64_t badPackets = 0;                    // packets with a wrong LRC
    std::uint64_t answerAcks = 0, answerNaks = 0;    // ACK/NAK bytes seen after our own packets
    std::string usbFileName;

    int ExitCode() const;     // 0 success, 1 failure, 3 ended by a requested fault
    std::string Summary() const;  // one line
};

const char* OutcomeName(TerminalSimResult::Outcome outcome);

class TerminalSim {
public:
    explicit TerminalSim(TerminalSimOptions options);
    ~TerminalSim();
    TerminalSim(const TerminalSim&) = delete;
    TerminalSim& operator=(const TerminalSim&) = delete;

    // Runs the session on the calling thread until it ends.
    TerminalSimResult Run();

    // Runs the session on a thread of its own.
    void Start();
    // Waits for the session started with Start; nullopt when the deadline passed first.
    std::optional<TerminalSimResult> Wait(std::chrono::milliseconds deadline);
    // Ends the session (outcome Stopped unless it ended already). Any thread.
    void Stop();

    // True once the port is open (and, in USB mode, the volume is mounted).
    bool Ready() const { return ready_.load(); }
    bool WaitReady(std::chrono::milliseconds deadline) const;
    // USB mode: the mount point of the volume.
    std::string MountPoint() const;
    // An eventfd that becomes readable when the session has ended; for poll() loops.
    int DoneFd() const { return doneFd_; }

private:
    class Session;
    TerminalSimOptions options_;
    int stopFd_ = -1;
    int doneFd_ = -1;
    std::atomic<bool> ready_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::optional<TerminalSimResult> result_;
    std::string mountPoint_;
    std::jthread thread_;
};

}  // namespace kavo::sim
