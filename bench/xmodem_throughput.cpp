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

#include "paced_line.h"
#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/com_port.h"
#include "transfer/protocol.h"

namespace {

using namespace kavo::bench;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

struct Result : TransferResult {
    double cpuShare = 0;
    double afterHandshake = 0;  // from the receiver's start character to the end
};

std::vector<std::string> Receiver(const std::string& peer, const std::string& binDir, const std::string& device) {
    if (peer == "termsim") return {binDir + "/termsim", device, "--out", "out.bin"};
    return RxBehindSocat(device);
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
    if (peer != "termsim") result.wireSeconds = ReadWireFigures(outDir + "/rx.log").seconds;
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
    const std::vector<char> content = TestContent(size);
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
    auto addedMs = [&](const TransferResult& r) { return AddedMsPerBlock(r.wireSeconds, blocks, cps); };
    auto report = [&](const char* who, const TransferResult& r, const Result* ours) {
        // Throughput counts the padded blocks, as the line carries them.
        const double rate = blocks * 1024.0 / r.seconds;
        std::printf("%-6s %s  %.2f s  %.0f B/s", who, r.ok ? "ok    " : "FAILED", r.seconds, rate);
        if (ceiling > 0) std::printf("  %.1f %% of ceiling", 100 * rate / ceiling);
        if (ours) std::printf("  CPU %.2f %% of wall time", 100 * ours->cpuShare);
        std::printf("\n");
        if (ours && ours->afterHandshake > 0) {
            const double after = blocks * 1024.0 / ours->afterHandshake;
            std::printf("       from the start character: %.2f s  %.0f B/s", ours->afterHandshake, after);
            if (ceiling > 0) std::printf("  %.1f %% of ceiling", 100 * after / ceiling);
            std::printf("\n");
        }
        if (r.wireSeconds > 0 && cps > 0) {
            std::printf("       first block to EOT: %.3f s, %.3f ms a block beyond its 1030 byte-times\n",
                        r.wireSeconds, addedMs(r));
        }
    };
    bool allOk = true;
    std::vector<double> oursAdded, sxAdded;
    for (int run = 1; run <= runs; ++run) {
        if (runs > 1) std::printf("run %d of %d\n", run, runs);
        const Result ours = RunOurs(binDir, dir, file, content, baud, latencyMs, peer);
        report("ours", ours, &ours);
        allOk = allOk && ours.ok;
        if (ours.ok && ours.wireSeconds > 0) oursAdded.push_back(addedMs(ours));
        if (withSx) {
            const TransferResult sx = RunSx(binDir, dir, file, content, baud, latencyMs);
            report("sx -k", sx, nullptr);
            if (sx.ok && sx.wireSeconds > 0) sxAdded.push_back(addedMs(sx));
        }
    }
    if (runs > 1 && cps > 0) {
        std::printf("median added per block over %d runs: ours %.3f ms (%zu runs)", runs, Median(oursAdded),
                    oursAdded.size());
        if (withSx) std::printf(", sx -k %.3f ms (%zu runs)", Median(sxAdded), sxAdded.size());
        std::printf("\n");
    }
    std::filesystem::remove_all(dir);
    return allOk ? 0 : 1;
}
