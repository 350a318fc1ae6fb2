// What the program the user runs adds to each block, next to lrzsz sx -k.
//
// kavodown sends a file to lrzsz rx (behind socat) over a paced line, once in window mode
// (offscreen: "kavodown PORT FILE" starts by itself and closes when the transfer ends) and once
// with --batch; then sx -k sends the same file over the same kind of line to the same receiver.
// The senders take turns within each run, so a change in the machine's load touches them all
// alike. Each sender's figure is the time it adds to a block beyond the block's and its ACK's
// 1030 byte-times, from the first block's arrival to the EOT's (paced_line.h); the table gives
// every run's figure and the median, and beside it the median time from an ACK to the next
// block (the sender's turnaround and the line's share of it, which a rare stall of the machine
// does not move) and its 90th percentile (where such stalls show), the share of the XMODEM-1K ceiling that the transfer reaches (the 1029
// byte-times of each block alone, from the first block to the EOT), and the time from the
// program's launch to its first block (its start and the handshake, kept apart from the
// per-block figure). The load average before and after each line is printed beside the figures,
// since a busy machine moves them: the receiver and its socat, descheduled for tens of
// milliseconds by other work, log late and answer late. Where it may (root), the benchmark
// therefore runs itself and every program it starts at a higher priority (nice -10), which
// costs other work little, since the transfers need little processor time.
//
//   bench_program_throughput [--size BYTES] [--baud N] [--latency-ms MS]... [--runs N]
//                            [--program NAME=PATH]...
//
// Defaults: 256 KiB, 115200 baud, latencies 0 and 1 ms one way, 3 runs, and the kavodown beside
// this benchmark. --program (repeatable) names the programs to measure instead, for instance a
// build of an older commit next to this one: "--program old=/tmp/old/bin/kavodown --program
// new=build/bin/kavodown" runs them in turns on the same lines. A PATH ending in ".exe" is the
// Windows program, run with --batch through Wine with its COM port on the line: "--program
// linux=build/bin/kavodown --program wine=build-windows/bin/kavodown.exe". Wine runs in
// $WINEPREFIX, by default build-windows/wineprefix beside this benchmark's build folder; its
// server is started once for all runs and stopped at the end, so that each run pays only the
// program's own start.
#include <sys/resource.h>
#include <unistd.h>

#include <termios.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "paced_line.h"

namespace {

using namespace kavo::bench;

struct Sender {
    std::string label;
    std::string program;  // empty: sx -k
    bool batch = false;
    bool wine = false;  // a Windows program, run through Wine
};

bool IsWindowsProgram(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

// The Windows form of a Linux path: Wine's drive Z: is the Linux root.
std::string WindowsPath(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return "Z:" + path;
}

// What Wine runs with: the prefix, no debug output unless asked for, no downloads offered.
std::vector<std::string> WineEnvironment(const std::string& prefix) {
    std::vector<std::string> env{"WINEPREFIX=" + prefix, "WINEARCH=win64", "WINEDLLOVERRIDES=mscoree,mshtml="};
    if (!std::getenv("WINEDEBUG")) env.push_back("WINEDEBUG=-all");
    return env;
}

// Runs a Wine tool (wineserver -p, wineboot, wineserver -k) to its end.
void RunWineTool(const std::vector<std::string>& argv, const std::string& prefix) {
    ChildProcess::Options options = Program(argv, "", true);
    options.env = WineEnvironment(prefix);
    options.in = ChildProcess::Input::Null;
    options.err = ChildProcess::Output::Null;
    ChildProcess(options).Wait(120s);
}

// The line's end A as Wine's COM<number>: a link in the prefix's dosdevices folder to the pty,
// set raw first (Wine sets the line only once it has opened it); removed with the object.
class WineComLink {
public:
    WineComLink(const std::string& prefix, int number, const std::string& end) {
        const std::filesystem::path pty = std::filesystem::canonical(end);
        const int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            termios tio{};
            if (::tcgetattr(fd, &tio) == 0) {
                ::cfmakeraw(&tio);
                ::tcsetattr(fd, TCSANOW, &tio);
            }
            ::close(fd);
        }
        link_ = std::filesystem::path(prefix) / "dosdevices" / ("com" + std::to_string(number));
        std::filesystem::remove(link_);
        std::filesystem::create_symlink(pty, link_);
    }
    ~WineComLink() { std::filesystem::remove(link_); }

private:
    std::filesystem::path link_;
};

// Whether process `pid` holds `path` open, whatever program it runs (Wine's loader replaces the
// program that was started).
bool HoldsOpen(pid_t pid, const std::string& path) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    if (ec) return false;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(fd.path(), linkError) == target) return true;
    }
    return false;
}

// The local time of day in seconds, as the receiver's log gives it.
double TimeOfDay(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&seconds, &local);
    const double fraction =
        std::chrono::duration<double>(at - std::chrono::system_clock::from_time_t(seconds)).count();
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// kavodown sending `file` to rx over a fresh line; the receiver's files go to `dir`/program.
// `launchToFirstBlock` gets the time from the program's launch to its first block's arrival.
TransferResult RunProgram(const Sender& sender, const std::string& binDir, const std::string& dir,
                          const std::string& file, const std::vector<char>& content, unsigned baud,
                          int latencyMs, const std::string& winePrefix, double& launchToFirstBlock) {
    Line line(binDir, dir, baud, latencyMs);
    const std::string outDir = dir + "/program";
    std::filesystem::remove_all(outDir);
    std::filesystem::create_directories(outDir + "/config");
    constexpr int kComNumber = 9;
    std::optional<WineComLink> com;
    std::vector<std::string> argv{sender.program};
    if (sender.batch) argv.push_back("--batch");
    ChildProcess::Options options;
    if (sender.wine) {
        com.emplace(winePrefix, kComNumber, line.pathA);
        argv.insert(argv.begin(), "wine");
        argv.insert(argv.end(), {std::to_string(kComNumber), WindowsPath(file)});
        options = Program(argv, outDir, true);
        options.env = WineEnvironment(winePrefix);
        options.env.push_back("KAVODOWN_CONFIG_DIR=" + WindowsPath(outDir + "/config"));
    } else {
        argv.insert(argv.end(), {std::to_string(kComNumber), file});
        options = Program(argv, outDir, true);
        options.env = {"KAVODOWN_PORTS=" + std::to_string(kComNumber) + "=" + line.pathA,
                       "KAVODOWN_CONFIG_DIR=" + outDir + "/config", "QT_QPA_PLATFORM=offscreen"};
    }
    options.in = ChildProcess::Input::Null;
    options.err = ChildProcess::Output::File;  // shown when the transfer failed
    options.errPath = outDir + "/program.err";
    const auto launch = std::chrono::system_clock::now();
    ChildProcess program(options);
    // The receiver starts once the program holds its port, as a terminal answers a sender
    // that is ready.
    const auto ready = Clock::now() + 20s;
    while (program.Started() && !program.Poll() && !HoldsOpen(program.Pid(), line.pathA) && Clock::now() < ready) {
        std::this_thread::sleep_for(5ms);
    }
    const auto start = Clock::now();
    ChildProcess rx(Logged(Program(RxBehindSocat(line.pathB), outDir, true), outDir + "/rx.log"));
    const TransferResult result = EndTransfer(program, rx, start, content, outDir);
    launchToFirstBlock = result.firstBlockAt > 0 ? result.firstBlockAt - TimeOfDay(launch) : 0;
    if (!result.ok) {
        std::ifstream err(outDir + "/program.err");
        std::fprintf(stderr, "%s ended with %d:\n%s", sender.label.c_str(), result.senderCode.value_or(-1),
                     std::string(std::istreambuf_iterator<char>(err), {}).c_str());
    }
    return result;
}

int Usage() {
    std::cerr << "usage: bench_program_throughput [--size BYTES] [--baud N] [--latency-ms MS]... [--runs N]\n"
                 "                                [--program NAME=PATH]...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t size = 256u * 1024;
    unsigned baud = 115200;
    std::vector<int> latencies;
    int runs = 3;
    std::vector<std::pair<std::string, std::string>> programs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--size") {
            size = std::stoul(value);
        } else if (arg == "--baud") {
            baud = static_cast<unsigned>(std::stoul(value));
        } else if (arg == "--latency-ms") {
            latencies.push_back(std::stoi(value));
        } else if (arg == "--runs") {
            runs = std::max(1, std::stoi(value));
        } else if (arg == "--program" && value.find('=') != std::string::npos) {
            const std::size_t eq = value.find('=');
            programs.emplace_back(value.substr(0, eq), std::filesystem::absolute(value.substr(eq + 1)).string());
        } else {
            return Usage();
        }
    }
    if (size == 0 || baud == 0) return Usage();
    if (latencies.empty()) latencies = {0, 1};
    const std::string binDir = std::filesystem::absolute(argv[0]).parent_path().string();
    if (programs.empty()) programs.emplace_back("kavodown", binDir + "/kavodown");

    std::vector<Sender> senders;
    bool wine = false;
    for (const auto& [name, path] : programs) {
        if (IsWindowsProgram(path)) {
            senders.push_back({name + " --batch", path, true, true});
            wine = true;
            continue;
        }
        senders.push_back({name, path, false});
        senders.push_back({name + " --batch", path, true});
    }
    senders.push_back({"sx -k", "", false});
    const char* prefixVariable = std::getenv("WINEPREFIX");
    const std::string winePrefix = prefixVariable && *prefixVariable
                                       ? std::string(prefixVariable)
                                       : std::filesystem::weakly_canonical(binDir + "/../../build-windows/wineprefix").string();
    if (wine) {
        RunWineTool({"wineserver", "-p"}, winePrefix);
        RunWineTool({"wineboot", "-i"}, winePrefix);
    }

    const bool raised = setpriority(PRIO_PROCESS, 0, -10) == 0;
    std::printf("priority: %s\n", raised ? "nice -10 (this benchmark and the programs it starts)"
                                         : "unchanged (a higher one needs root)");

    char pattern[] = "/tmp/kavo-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::vector<char> content = TestContent(size);
    const std::string file = dir + "/firmware.bin";
    std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    const double cps = baud / 10.0;
    const double blocks = static_cast<double>((size + 1023) / 1024);

    bool allOk = true;
    for (const int latencyMs : latencies) {
        std::printf("\nline %u baud, latency %d ms one way, %zu bytes (%.0f blocks); load average %s\n", baud,
                    latencyMs, size, blocks, LoadAverage().c_str());
        std::map<std::string, std::vector<double>> added, turnarounds, turnaroundTails, shares, starts;
        for (int run = 1; run <= runs; ++run) {
            std::printf("run %d:", run);
            for (const Sender& sender : senders) {
                double launchToFirstBlock = 0;
                const TransferResult r =
                    sender.program.empty()
                        ? RunSx(binDir, dir, file, content, baud, latencyMs)
                        : RunProgram(sender, binDir, dir, file, content, baud, latencyMs, winePrefix, launchToFirstBlock);
                if (r.ok && r.wireSeconds > 0) {
                    added[sender.label].push_back(AddedMsPerBlock(r.wireSeconds, blocks, cps));
                    turnarounds[sender.label].push_back(r.turnaround * 1000);
                    turnaroundTails[sender.label].push_back(r.turnaroundP90 * 1000);
                    shares[sender.label].push_back(100.0 * blocks * 1029.0 / cps / r.wireSeconds);
                    std::printf("  %s %.3f", sender.label.c_str(), added[sender.label].back());
                    if (launchToFirstBlock > 0) {
                        starts[sender.label].push_back(launchToFirstBlock);
                        std::printf(" (first block at %.2f s)", launchToFirstBlock);
                    }
                    // A block sent again costs a whole block's time: the figure then tells of the
                    // line or the receiver, not of the sender's turnaround.
                    if (r.wireBlocks > blocks) std::printf(" (%.0f sent again)", r.wireBlocks - blocks);
                } else {
                    allOk = false;
                    std::printf("  %s FAILED", sender.label.c_str());
                }
                std::fflush(stdout);
            }
            std::printf("\n");
        }
        std::printf("ms added per block beyond the 1030 byte-times, latency %d ms (load average now %s):\n",
                    latencyMs, LoadAverage().c_str());
        for (const Sender& sender : senders) {
            std::printf("  %-24s", sender.label.c_str());
            for (const double ms : added[sender.label]) std::printf(" %7.3f", ms);
            std::printf("   median %.3f   (ACK to next block: median %.3f, p90 %.3f; %.1f %% of the ceiling",
                        Median(added[sender.label]), Median(turnarounds[sender.label]),
                        Median(turnaroundTails[sender.label]), Median(shares[sender.label]));
            if (!starts[sender.label].empty()) {
                std::printf("; launch to first block: median %.3f s", Median(starts[sender.label]));
            }
            std::printf(")\n");
        }
    }
    std::filesystem::remove_all(dir);
    if (wine) RunWineTool({"wineserver", "-k"}, winePrefix);
    return allOk ? 0 : 1;
}
