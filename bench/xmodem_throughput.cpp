// Throughput, efficiency and CPU cost of an XMODEM-1K transfer over a paced line.
//
// The line simulator (the linesim tool, a process of its own) paces a null-modem cable at the
// chosen rate and latency; lrzsz rx receives on the far end (behind socat, as in the tests). The
// same file then goes from lrzsz sx -k over the same kind of line to the same receiver, for
// comparison. Both figures are measured from the receiver's start to the end of the transfer.
//
//   bench_xmodem_throughput [--size BYTES] [--baud N] [--latency-ms MS] [--peer rx|termsim] [--no-sx]
//
// --peer termsim receives with our own terminal simulator instead of rx (the sx comparison always
// uses rx).
//
// Prints the XMODEM-1K ceiling 1024 / (1030 / cps + turnaround), where the turnaround is the ACK
// byte plus the line's latency both ways, and each sender's throughput, its share of that ceiling
// and (for ours) the CPU time of this process during the transfer as a share of the wall time.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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
    bool ok = false;
};

std::vector<std::string> Receiver(const std::string& peer, const std::string& binDir, const std::string& device) {
    if (peer == "termsim") return {binDir + "/termsim", device, "--out", "out.bin"};
    return {"socat", "FILE:" + device + ",raw,echo=0", "EXEC:rx -q -c -X out.bin"};
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
    std::filesystem::create_directories(outDir);
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    ChildProcess rx(Program(Receiver(peer, binDir, line.pathB), outDir, true));
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
    return result;
}

Result RunSx(const std::string& binDir, const std::string& dir, const std::string& file,
             const std::vector<char>& content, unsigned baud, int latencyMs) {
    Line line(binDir, dir, baud, latencyMs);
    const std::string outDir = dir + "/sx";
    std::filesystem::create_directories(outDir);
    ChildProcess sx(Program({"socat", "FILE:" + line.pathA + ",raw,echo=0", "EXEC:sx -q -k " + file}, dir, false));
    std::this_thread::sleep_for(200ms);  // the sender first, as with ours
    const auto start = Clock::now();
    ChildProcess rx(Program({"socat", "FILE:" + line.pathB + ",raw,echo=0", "EXEC:rx -q -c -X out.bin"}, outDir, false));
    const auto code = sx.Wait(600s);
    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rx.Wait(20s);
    result.ok = code && *code == 0 && SameUpToPadding(content, outDir + "/out.bin");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t size = 1u << 20;
    unsigned baud = 115200;
    int latencyMs = 1;
    bool withSx = true;
    std::string peer = "rx";
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
        } else {
            std::cerr << "usage: bench_xmodem_throughput [--size BYTES] [--baud N] [--latency-ms MS] [--peer rx|termsim] [--no-sx]\n";
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
    };
    const Result ours = RunOurs(binDir, dir, file, content, baud, latencyMs, peer);
    report("ours", ours, true);
    if (withSx) report("sx -k", RunSx(binDir, dir, file, content, baud, latencyMs), false);
    std::filesystem::remove_all(dir);
    return ours.ok ? 0 : 1;
}
