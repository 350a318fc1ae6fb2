// Throughput, efficiency and CPU cost of an XMODEM-1K transfer over a paced line.
//
// The line simulator (the linesim tool, a process of its own) paces a null-modem cable at the
// chosen rate and latency; lrzsz rx receives on the far end (behind socat, as in the tests). The
// same file then goes from lrzsz sx -k over the same kind of line to the same receiver, for
// comparison. Both figures are measured from the receiver's start to the end of the transfer.
//
//   bench_xmodem_throughput [--size BYTES] [--baud N] [--latency-ms MS] [--peer rx|termsim] [--no-sx]
//                           [--runs N]
//
// --peer termsim receives with our own terminal simulator instead of rx (the sx comparison always
// uses rx).
//
// Prints the XMODEM-1K ceiling 1024 / (1030 / cps + turnaround), where the turnaround is the ACK
// byte plus the line's latency both ways, and each sender's throughput, its share of that ceiling
// and (for ours) the CPU time of this process during the transfer as a share of the wall time.
//
// With rx as the receiver, the receiver's socat also logs when each piece of the file reaches it
// (-x), and each sender's cost per block is told: the time from the arrival of the first block's
// first bytes to the arrival of the EOT, divided by the blocks, less the 1030 byte-times that a
// block and its ACK take on the wire. That is what the sender (and the line's latency, the same
// for both) adds to each block, handshake excluded. --runs N repeats each sender N times and
// prints the median of that figure too.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/com_port.h"
#include "transfer/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using kavo::sim::ChildProcess;

// A receiver, sender or line simulator run in `dir`, its standard output dropped when `quiet`;
// stopped with SIGTERM (then killed) if it still runs when it goes.
ChildProcess::Options Program(const std::vector<std::string>& argv, const std::string& dir, bool quiet) {
    return {.argv = argv,
            .workingDir = dir,
            .out = quiet ? ChildProcess::Output::Null : ChildProcess::Output::Inherit,
            .stopSignal = SIGTERM,
            .stopGrace = 10s};
}

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

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

bool SameUpToPadding(const std::vector<char>& original, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (got.size() < original.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (i < original.size() ? got[i] != original[i] : got[i] != 0x1A) return false;
    }
    return true;
}

struct Result {
    double seconds = 0;
    double cpuShare = 0;
    double afterHandshake = 0;  // from the receiver's start character to the end
    double wireSeconds = 0;     // from the first block's arrival to the EOT's (0: not logged)
    bool ok = false;
};

// The receiver's socat logs what reaches rx (-x): a header per piece, "> 2026/12/08
// 17:54:19.000337625  length=1 from=1 to=1" (the digits after the point are microseconds), then
// its bytes in hex. Returns the time from the first piece that begins a block (SOH or STX) to
// the first piece after it that is the EOT alone, or 0 when the log does not show both.
double FirstBlockToEot(const std::string& logPath) {
    std::ifstream in(logPath);
    std::string line;
    double at = 0, firstBlock = -1;
    bool fromLine = false, headerBytes = false;
    while (std::getline(in, line)) {
        if (line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0) {
            fromLine = line[0] == '>';
            int h = 0, m = 0;
            long sec = 0, micro = 0;
            if (std::sscanf(line.c_str() + 2, "%*d/%*d/%*d %d:%d:%ld.%ld", &h, &m, &sec, &micro) == 4)
                at = h * 3600.0 + m * 60.0 + static_cast<double>(sec) + static_cast<double>(micro) / 1e6;
            headerBytes = true;
            continue;
        }
        if (!fromLine || !headerBytes) continue;
        headerBytes = false;  // only the first line of a piece's bytes tells what it begins with
        unsigned first = 0;
        if (std::sscanf(line.c_str(), " %x", &first) != 1) continue;
        const bool alone = line.find_first_not_of(' ', line.find_first_not_of(' ') + 2) == std::string::npos;
        if (firstBlock < 0 && (first == 0x01 || first == 0x02)) firstBlock = at;
        else if (firstBlock >= 0 && first == 0x04 && alone) return at - firstBlock;
    }
    return 0;
}

std::vector<std::string> Receiver(const std::string& peer, const std::string& binDir, const std::string& device) {
    if (peer == "termsim") return {binDir + "/termsim", device, "--out", "out.bin"};
    return {"socat", "-x", "FILE:" + device + ",raw,echo=0", "EXEC:rx -q -c -X out.bin"};
}

// The receiver's log of what reached it, for FirstBlockToEot.
ChildProcess::Options Logged(ChildProcess::Options options, const std::string& logPath) {
    options.err = ChildProcess::Output::File;
    options.errPath = logPath;
    return options;
}

Result RunOurs(const std::string& binDir, const std::string& dir, const std::string& file,
               const std::vector<char>& content, unsigned baud, int latencyMs, const std::string& peer) {
    Line line(binDir, dir, baud, latencyMs);
    const std::string map = "9=" + line.pathA;
    setenv("KAVODOWN_PORTS", map.c_str(), 1);
    kavo::TComponent owner;
    auto* port = new kavo::TApdComPort(&owner);
    port->SetComNumber(9);
    port->SetBaud(static_cast<std::int32_t>(baud ? baud : 115200));
    port->SetAutoOpen(false);
    auto* protocol = new kavo::TApdProtocol(&owner);
    protocol->SetProtocolType(kavo::ptXmodem1K);
    protocol->SetHandshakeWait(1092);
    protocol->SetTurnDelay(1000);
    protocol->SetOverhead(5);
    protocol->SetFinishWait(0);
    std::optional<int> finish;
    protocol->SetOnProtocolFinish([&](kavo::TApdCustomProtocol*, std::int32_t code) { finish = code; });
    port->SetOpen(true);
    protocol->SetFileMask(file);
    protocol->BeginTransmit();

    const std::string outDir = dir + "/ours";
    std::filesystem::remove_all(outDir);
    std::filesystem::create_directories(outDir);
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    ChildProcess rx(Logged(Program(Receiver(peer, binDir, line.pathB), outDir, true), outDir + "/rx.log"));
    std::optional<Clock::time_point> handshake;
    while (!finish && Clock::now() - start < 600s) {
        kavo::WaitForMessage(2);
        kavo::ProcessMessages();
        if (!handshake && protocol->Data().TimingStarted) handshake = Clock::now();
    }
    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (handshake) result.afterHandshake = std::chrono::duration<double>(Clock::now() - *handshake).count();
    result.cpuShare = (CpuSeconds() - cpuStart) / result.seconds;
    rx.Wait(20s);
    port->SetOpen(false);
    result.ok = finish && *finish == 0 && SameUpToPadding(content, outDir + "/out.bin");
    if (peer != "termsim") result.wireSeconds = FirstBlockToEot(outDir + "/rx.log");
    return result;
}

Result RunSx(const std::string& binDir, const std::string& dir, const std::string& file,
             const std::vector<char>& content, unsigned baud, int latencyMs) {
    Line line(binDir, dir, baud, latencyMs);
    const std::string outDir = dir + "/sx";
    std::filesystem::remove_all(outDir);
    std::filesystem::create_directories(outDir);
    ChildProcess sx(Program({"socat", "FILE:" + line.pathA + ",raw,echo=0", "EXEC:sx -q -k " + file}, dir, false));
    std::this_thread::sleep_for(200ms);  // the sender first, as with ours
    const auto start = Clock::now();
    ChildProcess rx(Logged(Program(Receiver("rx", binDir, line.pathB), outDir, false), outDir + "/rx.log"));
    const auto code = sx.Wait(600s);
    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rx.Wait(20s);
    result.ok = code && *code == 0 && SameUpToPadding(content, outDir + "/out.bin");
    result.wireSeconds = FirstBlockToEot(outDir + "/rx.log");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t size = 1u << 20;
    unsigned baud = 115200;
    int latencyMs = 1;
    bool withSx = true;
    std::string peer = "rx";
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size" && i + 1 < argc) {
            size = std::stoul(argv[++i]);
        } else if (arg == "--baud" && i + 1 < argc) {
            baud = static_cast<unsigned>(std::stoul(argv[++i]));
        } else if (arg == "--latency-ms" && i + 1 < argc) {
            latencyMs = std::stoi(argv[++i]);
        } else if (arg == "--peer" && i + 1 < argc) {
            peer = argv[++i];
        } else if (arg == "--no-sx") {
            withSx = false;
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::stoi(argv[++i]));
        } else {
            std::cerr << "usage: bench_xmodem_throughput [--size BYTES] [--baud N] [--latency-ms MS] [--peer rx|termsim] [--no-sx] [--runs N]\n";
            return 2;
        }
    }
    const std::string binDir = std::filesystem::absolute(argv[0]).parent_path().string();
    char pattern[] = "/tmp/kavo-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::vector<char> content(size);
    std::uint32_t x = 12345;
    for (auto& c : content) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    const std::string file = dir + "/firmware.bin";
    std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));

    const double cps = baud / 10.0;
    const double blocks = static_cast<double>((size + 1023) / 1024);
    std::printf("file %zu bytes, line %u baud, latency %d ms one way\n", size, baud, latencyMs);
    double ceiling = 0;
    if (baud) {
        const double turnaround = 1.0 / cps + 2 * latencyMs / 1000.0;
        ceiling = 1024.0 / (1030.0 / cps + turnaround);
        std::printf("XMODEM-1K ceiling: %.0f B/s (%.1f %% of %.0f B/s)\n", ceiling, 100 * ceiling / cps, cps);
    }
    // What a sender adds to each block beyond the wire's 1030 byte-times (a block and its ACK).
    auto addedMs = [&](const Result& r) { return (r.wireSeconds / blocks - 1030.0 / cps) * 1000.0; };
    auto report = [&](const char* who, const Result& r, bool cpu) {
        // Throughput counts the padded blocks, as the line carries them.
        const double rate = blocks * 1024.0 / r.seconds;
        std::printf("%-6s %s  %.2f s  %.0f B/s", who, r.ok ? "ok    " : "FAILED", r.seconds, rate);
        if (ceiling > 0) std::printf("  %.1f %% of ceiling", 100 * rate / ceiling);
        if (cpu) std::printf("  CPU %.2f %% of wall time", 100 * r.cpuShare);
        std::printf("\n");
        if (r.afterHandshake > 0) {
            const double after = blocks * 1024.0 / r.afterHandshake;
            std::printf("       from the start character: %.2f s  %.0f B/s", r.afterHandshake, after);
            if (ceiling > 0) std::printf("  %.1f %% of ceiling", 100 * after / ceiling);
            std::printf("\n");
        }
        if (r.wireSeconds > 0 && cps > 0) {
            std::printf("       first block to EOT: %.3f s, %.3f ms a block beyond its 1030 byte-times\n",
                        r.wireSeconds, addedMs(r));
        }
    };
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0.0 : values[values.size() / 2];
    };
    bool allOk = true;
    std::vector<double> oursAdded, sxAdded;
    for (int run = 1; run <= runs; ++run) {
        if (runs > 1) std::printf("run %d of %d\n", run, runs);
        const Result ours = RunOurs(binDir, dir, file, content, baud, latencyMs, peer);
        report("ours", ours, true);
        allOk = allOk && ours.ok;
        if (ours.ok && ours.wireSeconds > 0) oursAdded.push_back(addedMs(ours));
        if (withSx) {
            const Result sx = RunSx(binDir, dir, file, content, baud, latencyMs);
            report("sx -k", sx, false);
            if (sx.ok && sx.wireSeconds > 0) sxAdded.push_back(addedMs(sx));
        }
    }
    if (runs > 1 && cps > 0) {
        std::printf("median added per block over %d runs: ours %.3f ms (%zu runs)", runs, median(oursAdded),
                    oursAdded.size());
        if (withSx) std::printf(", sx -k %.3f ms (%zu runs)", median(sxAdded), sxAdded.size());
        std::printf("\n");
    }
    std::filesystem::remove_all(dir);
    return allOk ? 0 : 1;
}
