// Batch runs side by side: one kavodown --batch run alone, then N runs at once, each on a line of
// its own (the linesim tool at the chosen baud rate) with the terminal simulator on the far end.
//
//   bench_batch_parallel [--size BYTES] [--baud N] [--runs N]
//
// Prints each run's wall time (from its start to its exit), its exit code and whether the
// terminal received the file intact, and the throughput of each against the line's ceiling.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The tools and the program are built beside this benchmark.
const std::string kBin = fs::read_symlink("/proc/self/exe").parent_path().string();

// A tool or the program with both its output streams in `outputPath`; stopped with SIGTERM
// (then killed) if it still runs when it goes.
std::unique_ptr<kavo::sim::ChildProcess> Start(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extraEnv,
                                                const std::string& outputPath) {
    using Output = kavo::sim::ChildProcess::Output;
    return std::make_unique<kavo::sim::ChildProcess>(kavo::sim::ChildProcess::Options{
        .argv = argv,
        .env = extraEnv,
        .out = Output::File,
        .err = Output::File,
        .outPath = outputPath,
        .errPath = outputPath,
        .stopSignal = SIGTERM,
        .stopGrace = 10s});
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitFor(const std::string& path, const std::string& text, std::chrono::seconds deadline) {
    auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        if (ReadFile(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

struct Station {
    std::string dir;
    int port = 0;
    std::unique_ptr<kavo::sim::ChildProcess> line, terminal, tool;
    Clock::time_point start;
    double seconds = 0;
    int exitCode = -1;
    bool ended = false;
};

// Runs `count` transfers at once; returns false when a station could not be set up.
bool RunStations(int count, const std::string& root, const std::string& firmware, std::size_t size,
                 unsigned baud, std::vector<Station>& stations) {
    stations.clear();
    stations.resize(static_cast<std::size_t>(count));
    std::string ports;
    for (int i = 0; i < count; ++i) {
        Station& s = stations[static_cast<std::size_t>(i)];
        s.port = 11 + i;
        s.dir = root + "/COM" + std::to_string(s.port);
        fs::create_directories(s.dir);
        s.line = Start(
            std::vector<std::string>{kBin + "/linesim", "--baud", std::to_string(baud), "--link-a",
                                     s.dir + "/A", "--link-b", s.dir + "/B"},
            std::vector<std::string>{}, s.dir + "/linesim.txt");
        if (!WaitFor(s.dir + "/linesim.txt", "linesim: ready", 20s)) return false;
        s.terminal = Start(
            std::vector<std::string>{kBin + "/termsim", s.dir + "/B", "--out", s.dir + "/out.bin",
                                     "--size", std::to_string(size)},
            std::vector<std::string>{}, s.dir + "/termsim.txt");
        if (!WaitFor(s.dir + "/termsim.txt", "termsim: ready", 20s)) return false;
        ports += (ports.empty() ? "" : ",") + std::to_string(s.port) + "=" + s.dir + "/A";
    }
    for (Station& s : stations) {
        s.start = Clock::now();
        s.tool = Start(
            std::vector<std::string>{kBin + "/kavodown", "--batch", std::to_string(s.port), firmware},
            std::vector<std::string>{"KAVODOWN_PORTS=" + ports, "KAVODOWN_CONFIG_DIR=" + root},
            s.dir + "/kavodown.txt");
    }
    auto until = Clock::now() + 600s;
    std::size_t done = 0;
    while (done < stations.size() && Clock::now() < until) {
        for (Station& s : stations) {
            if (s.ended || !s.tool) continue;
            const std::optional<int> code = s.tool->Poll();
            if (!code) continue;
            s.exitCode = *code;
            s.ended = true;
            s.seconds = std::chrono::duration<double>(Clock::now() - s.start).count();
            ++done;
        }
        std::this_thread::sleep_for(5ms);
    }
    for (Station& s : stations) {
        if (s.tool) s.tool->Stop(SIGTERM, 10s);
        // The terminal ends by itself after a transfer; give it a moment to write its file.
        s.terminal->Wait(2s);
        s.terminal->Stop(SIGTERM, 10s);
        s.line->Stop(SIGTERM, 10s);
    }
    return true;
}

void Report(const char* title, const std::vector<Station>& stations, const std::string& firmware,
            std::size_t size, unsigned baud) {
    const std::string original = ReadFile(firmware);
    const double ceiling = baud / 10.0 * 1024.0 / 1030.0;
    std::printf("%s\n", title);
    for (const Station& s : stations) {
        const bool intact = ReadFile(s.dir + "/out.bin") == original;
        const double rate = s.seconds > 0 ? size / s.seconds : 0;
        std::printf("  COM%-3d exit %d  %7.2f s  %8.0f B/s  %5.1f %% of %0.f B/s  %s\n", s.port,
                    s.exitCode, s.seconds, rate, baud ? rate / ceiling * 100 : 0.0, ceiling,
                    intact ? "file intact" : "FILE DIFFERS");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t size = 300000;
    unsigned baud = 115200;
    int runs = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--size") size = std::stoul(argv[i + 1]);
        else if (option == "--baud") baud = static_cast<unsigned>(std::stoul(argv[i + 1]));
        else if (option == "--runs") runs = std::stoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: bench_batch_parallel [--size BYTES] [--baud N] [--runs N]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/kavo_bench_batch_XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string root = pattern;
    const std::string firmware = root + "/firmware.bin";
    {
        std::mt19937 rng(7);
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(firmware, std::ios::binary) << data;
    }
    std::printf("firmware %zu bytes, lines at %u baud (linesim), terminals: termsim\n", size, baud);

    int result = 0;
    std::vector<Station> stations;
    if (!RunStations(1, root + "/single", firmware, size, baud, stations)) {
        std::fprintf(stderr, "bench: a station did not start\n");
        result = 1;
    } else {
        Report("one run alone:", stations, firmware, size, baud);
    }
    if (result == 0 && !RunStations(runs, root + "/parallel", firmware, size, baud, stations)) {
        std::fprintf(stderr, "bench: a station did not start\n");
        result = 1;
    } else if (result == 0) {
        Report((std::to_string(runs) + " runs at once:").c_str(), stations, firmware, size, baud);
        for (const Station& s : stations) {
            if (s.exitCode != 0) result = 1;
        }
    }
    fs::remove_all(root);
    return result;
}
