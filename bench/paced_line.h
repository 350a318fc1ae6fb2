// What the transfer benchmarks share: a paced line (the linesim tool, a process of its own),
// lrzsz rx behind socat on its far end with socat's log of what reached it, lrzsz sx -k as the
// reference sender, and the reading of that log.
//
// A sender's cost per block is told from the receiver's log: the time from the arrival of the
// first block's first bytes to the arrival of the EOT, divided by the blocks, less the 1030
// byte-times that a block and its ACK take on the wire. That is what the sender (and the line's
// latency, the same for every sender) adds to each block, handshake excluded.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace kavo::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using sim::ChildProcess;

// A receiver, sender or line simulator run in `dir`, its standard output dropped when `quiet`;
// stopped with SIGTERM (then killed) if it still runs when it goes.
inline ChildProcess::Options Program(const std::vector<std::string>& argv, const std::string& dir, bool quiet) {
    return {.argv = argv,
            .workingDir = dir,
            .out = quiet ? ChildProcess::Output::Null : ChildProcess::Output::Inherit,
            .stopSignal = SIGTERM,
            .stopGrace = 10s};
}

// The line simulator between `pathA` (the sender's end) and `pathB` (the receiver's).
struct Line {
    std::unique_ptr<ChildProcess> sim;
    std::string pathA, pathB;

    Line(const std::string& binDir, const std::string& dir, unsigned baud, int latencyMs) {
        pathA = dir + "/ttyA";
        pathB = dir + "/ttyB";
        std::filesystem::remove(pathA);
        std::filesystem::remove(pathB);
        sim = std::make_unique<ChildProcess>(Program({binDir + "/linesim", "--baud", std::to_string(baud),
                                                      "--latency-ms", std::to_string(latencyMs), "--link-a",
                                                      pathA, "--link-b", pathB},
                                                     dir, true));
        const auto end = Clock::now() + 5s;
        while (!(std::filesystem::exists(pathA) && std::filesystem::exists(pathB))) {
            if (!sim->Started() || sim->Poll() || Clock::now() > end) {
                throw std::runtime_error("linesim did not start");
            }
            std::this_thread::sleep_for(5ms);
        }
    }
};

// `size` bytes that no compressor or pattern makes easy, the same on every run.
inline std::vector<char> TestContent(std::size_t size) {
    std::vector<char> content(size);
    std::uint32_t x = 12345;
    for (auto& c : content) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return content;
}

// Whether the file at `path` is `original` followed by nothing but XMODEM's padding (0x1A).
inline bool SameUpToPadding(const std::vector<char>& original, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (got.size() < original.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (i < original.size() ? got[i] != original[i] : got[i] != 0x1A) return false;
    }
    return true;
}

// The value below which `share` (0..1) of `values` lie, the nearest rank.
inline double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    if (values.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size()));
    return values[std::min(rank, values.size() - 1)];
}

inline double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

// What a receiver's log tells of a transfer: the time from the piece that begins the first block
// to the piece that begins the EOT (0 when the log does not show both), the blocks that arrived
// in between (a block sent again counted each time), and the median time from an ACK leaving the
// receiver to the first bytes of the next block reaching it: the sender's turnaround, with the
// line's two byte-times and its latency both ways, and untouched by a rare stall; beside it the
// 90th percentile, where the stalls of a busy machine show.
struct WireFigures {
    double seconds = 0;
    std::uint32_t blocks = 0;
    double turnaround = 0;
    double turnaroundP90 = 0;
    double firstBlockAt = 0;  // the first block's arrival, seconds since the log's midnight
};

// The receiver's socat logs what reaches rx (-x): a header per piece, "> 2026/12/08
// 17:54:19.000337625  length=1 from=1 to=1" (the digits after the point are microseconds), then
// its bytes in hex. The stream is followed frame by frame (CRC blocks of 133 and 1029 bytes), so
// a data byte that happens to equal EOT is never taken for it.
inline WireFigures ReadWireFigures(const std::string& logPath) {
    std::ifstream in(logPath);
    std::string line;
    double at = 0, firstBlock = -1, ackAt = -1;
    bool fromLine = false;
    std::uint32_t inFrame = 0;  // bytes of the current block still to come
    std::vector<double> turnarounds;
    WireFigures figures;
    while (std::getline(in, line)) {
        if (line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0) {
            fromLine = line[0] == '>';
            int h = 0, m = 0;
            long sec = 0, micro = 0;
            if (std::sscanf(line.c_str() + 2, "%*d/%*d/%*d %d:%d:%ld.%ld", &h, &m, &sec, &micro) == 4)
                at = h * 3600.0 + m * 60.0 + static_cast<double>(sec) + static_cast<double>(micro) / 1e6;
            continue;
        }
        std::istringstream bytes(line);
        std::string hex;
        if (!fromLine) {
            if (bytes >> hex && hex == "06") ackAt = at;
            continue;
        }
        while (bytes >> hex && hex.size() == 2 && std::isxdigit(hex[0]) && std::isxdigit(hex[1])) {
            if (inFrame > 0) {
                --inFrame;
                continue;
            }
            const unsigned byte = std::stoul(hex, nullptr, 16);
            if (byte == 0x01 || byte == 0x02) {
                if (firstBlock < 0) firstBlock = at;
                ++figures.blocks;
                if (ackAt >= 0) turnarounds.push_back(at - ackAt);
                ackAt = -1;
                inFrame = (byte == 0x01 ? 133 : 1029) - 1;
            } else if (byte == 0x04 && firstBlock >= 0) {
                figures.seconds = at - firstBlock;
                figures.turnaround = Median(turnarounds);
                figures.turnaroundP90 = Percentile(turnarounds, 0.9);
                figures.firstBlockAt = firstBlock;
                return figures;
            }
        }
    }
    return {};
}

// lrzsz rx on `device`, receiving into out.bin of its working folder, behind socat, which logs
// what reaches rx to its standard error.
inline std::vector<std::string> RxBehindSocat(const std::string& device) {
    return {"socat", "-x", "FILE:" + device + ",raw,echo=0", "EXEC:rx -q -c -X out.bin"};
}

// The receiver's log of what reached it, for ReadWireFigures.
inline ChildProcess::Options Logged(ChildProcess::Options options, const std::string& logPath) {
    options.err = ChildProcess::Output::File;
    options.errPath = logPath;
    return options;
}

// One transfer of a sender that is not ours to rx over a fresh line.
struct TransferResult {
    double seconds = 0;      // from the receiver's start to the sender's end
    double wireSeconds = 0;  // from the first block's arrival to the EOT's (0: not logged)
    std::uint32_t wireBlocks = 0;  // the blocks that arrived meanwhile
    double turnaround = 0;         // the median from an ACK to the next block (WireFigures)
    double turnaroundP90 = 0;      // its 90th percentile
    double firstBlockAt = 0;       // WireFigures
    bool ok = false;
    std::optional<int> senderCode;  // empty: the sender did not end in time
};

// Waits for the sender, then for the receiver that `start` saw start, and tells what the
// transfer gave: its time, whether rx wrote `content`, and the wire figures of rx's log.
inline TransferResult EndTransfer(ChildProcess& sender, ChildProcess& rx, Clock::time_point start,
                                  const std::vector<char>& content, const std::string& outDir) {
    TransferResult result;
    result.senderCode = sender.Wait(600s);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rx.Wait(20s);
    result.ok = result.senderCode == 0 && SameUpToPadding(content, outDir + "/out.bin");
    const WireFigures wire = ReadWireFigures(outDir + "/rx.log");
    result.wireSeconds = wire.seconds;
    result.wireBlocks = wire.blocks;
    result.turnaround = wire.turnaround;
    result.turnaroundP90 = wire.turnaroundP90;
    result.firstBlockAt = wire.firstBlockAt;
    return result;
}

// lrzsz sx -k (XMODEM-1K) sending `file` to rx over a fresh line; the receiver's files go to
// `dir`/sx.
inline TransferResult RunSx(const std::string& binDir, const std::string& dir, const std::string& file,
                            const std::vector<char>& content, unsigned baud, int latencyMs) {
    Line line(binDir, dir, baud, latencyMs);
    const std::string outDir = dir + "/sx";
    std::filesystem::remove_all(outDir);
    std::filesystem::create_directories(outDir);
    ChildProcess::Options sender = Program({"socat", "FILE:" + line.pathA + ",raw,echo=0", "EXEC:sx -q -k " + file}, dir, true);
    sender.err = ChildProcess::Output::Null;  // sx's prompt to start the receiver
    ChildProcess sx(sender);
    std::this_thread::sleep_for(200ms);  // the sender first, as with ours
    const auto start = Clock::now();
    ChildProcess rx(Logged(Program(RxBehindSocat(line.pathB), outDir, true), outDir + "/rx.log"));
    return EndTransfer(sx, rx, start, content, outDir);
}

// What a sender adds to each of `blocks` blocks beyond the wire's 1030 byte-times (a block and
// its ACK), in milliseconds, at `cps` characters a second.
inline double AddedMsPerBlock(double wireSeconds, double blocks, double cps) {
    return (wireSeconds / blocks - 1030.0 / cps) * 1000.0;
}

}  // namespace kavo::bench
