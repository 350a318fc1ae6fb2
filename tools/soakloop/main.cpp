// soakloop: many transfers in one long-lived process, over the port and protocol components as
// the main window drives them, to a terminal simulator on a faulty simulated cable.
//
//   soakloop [--transfers N] [--seed S] [--max-size BYTES] [--baud N] [--deadline-s S] [--quiet]
//
// Each transfer gets a new cable and a new terminal, with faults drawn from the seed: damaged and
// lost bytes in both directions, a stall, a NAK run, a cancel from the terminal, or a cut cable.
// The port component and the protocol component live for the whole run. After each transfer the
// program checks that
//  - a transfer that ended with code 0 delivered exactly the file sent;
//  - every transfer ended within the deadline;
//  - the open file descriptors (/proc/self/fd) and threads (/proc/self/task) are back at the
//    counts they had before the first transfer.
// It prints one line per transfer (unless --quiet) and a summary line, and exits with 0 when all
// checks held, 1 when one failed, 2 for a bad command line.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "line_sim.h"
#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/com_port.h"
#include "serial/errors.h"
#include "serial/ticks.h"
#include "terminal_sim.h"
#include "transfer/protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kavo::sim::LineSim;
using kavo::sim::LineSimOptions;
using kavo::sim::TerminalSim;
using kavo::sim::TerminalSimOptions;
using kavo::sim::TerminalSimResult;

constexpr int kPortNumber = 7;

struct Options {
    unsigned transfers = 50;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    std::size_t maxSize = 48 * 1024;
    unsigned baud = 0;
    int deadlineSeconds = 180;
    int silenceSeconds = 30;
    bool quiet = false;
};

void Usage() {
    std::cerr <<
        "usage: soakloop [options]\n"
        "  --transfers N     transfers to run (default 50)\n"
        "  --seed S          seed of the sizes, contents and faults (default: from the clock)\n"
        "  --max-size BYTES  largest file (default 49152)\n"
        "  --baud N          bit rate of the simulated cable; 0 relays at once (default 0)\n"
        "  --deadline-s S    a transfer that has not ended after S seconds hangs (default 180)\n"
        "  --silence-s S     the transfer's silence limit, as for an unattended run; 0: none\n"
        "                    (default 30)\n"
        "  --quiet           print only the summary\n";
}

bool ParseUnsigned(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && end && *end == 0;
}

// Entries of a /proc folder, not counting "." and "..". The descriptor of the listing itself is
// counted too, the same way every time.
int CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

struct Resources {
    int fds = 0;
    int threads = 0;
    bool operator==(const Resources&) const = default;
};

Resources Measure() { return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")}; }

// A thread that has been joined may still be listed for a moment while the kernel reaps it; so
// the counts get a short time to settle before a difference counts as drift.
Resources SettledResources(const Resources& expected) {
    const auto end = Clock::now() + 2s;
    Resources now = Measure();
    while (!(now == expected) && Clock::now() < end) {
        kavo::WaitForMessage(10);
        kavo::ProcessMessages();
        now = Measure();
    }
    return now;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > end) return false;
        kavo::WaitForMessage(20);
        kavo::ProcessMessages();
    }
    return true;
}

// What one transfer is made to go through.
struct Plan {
    std::size_t size = 0;
    LineSimOptions line;
    TerminalSimOptions terminal;
    std::vector<std::string> faults;  // kinds, for the report
};

Plan MakePlan(std::mt19937_64& rng, const Options& options, const std::string& link) {
    Plan plan;
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    auto between = [&](std::uint64_t lo, std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    };
    // Sizes around the block boundaries come up often; they are where off-by-one faults live.
    static const std::size_t kEdges[] = {1, 127, 128, 129, 1023, 1024, 1025, 8191, 8192, 8193};
    if (chance(0.25)) {
        plan.size = kEdges[between(0, std::size(kEdges) - 1)];
    } else {
        plan.size = between(1, std::max<std::size_t>(options.maxSize, 1));
    }
    plan.size = std::min(plan.size, std::max<std::size_t>(options.maxSize, 1));

    plan.line.baud = options.baud;
    plan.line.seed = rng();
    plan.line.linkA = link;
    plan.terminal.handshakeMs = 500;
    plan.terminal.blockTimeoutMs = 3000;
    plan.terminal.byteTimeoutMs = 200;
    plan.terminal.purgeQuietMs = 50;
    plan.terminal.timeoutMs = options.deadlineSeconds * 1000;
    plan.terminal.trimSize = static_cast<std::int64_t>(plan.size);

    // Bytes on the line from sender to terminal, roughly: 1029 per 1024-byte block.
    const std::uint64_t wire = (plan.size / 1024 + 1) * 1029 + 8;
    if (chance(0.4)) {
        plan.line.aToB.corruptProbability = 1.0 / static_cast<double>(between(2000, 20000));
        plan.faults.push_back("corrupt");
    }
    if (chance(0.3)) {
        plan.line.aToB.dropProbability = 1.0 / static_cast<double>(between(5000, 40000));
        plan.faults.push_back("drop");
    }
    if (chance(0.2)) {
        // The terminal's answers are single bytes: a damaged or lost one costs the sender a
        // timeout or a repeated block.
        plan.line.bToA.corruptProbability = 0.05;
        plan.line.bToA.dropProbability = 0.03;
        plan.faults.push_back("answer-loss");
    }
    if (chance(0.2)) {
        plan.line.aToB.stallAfterByte = between(1, wire);
        plan.line.aToB.stallMs = static_cast<int>(between(200, 2500));
        plan.faults.push_back("stall");
    }
    if (chance(0.1)) {
        plan.terminal.nakBlocks[between(1, plan.size / 1024 + 1)] = static_cast<int>(between(1, 12));
        plan.faults.push_back("nak-run");
    }
    if (chance(0.05)) {
        plan.terminal.cancelAtBlock = between(1, plan.size / 1024 + 1);
        plan.terminal.cancelCount = 2;
        plan.faults.push_back("cancel");
    }
    if (chance(0.1)) {
        // Either direction; sometimes beyond the end, so the cable may outlive the transfer.
        if (chance(0.5)) {
            plan.line.aToB.cutAfterBytes = between(1, wire + 2000);
        } else {
            plan.line.bToA.cutAfterBytes = between(1, plan.size / 1024 + 4);
        }
        plan.faults.push_back("cut");
    }
    return plan;
}

std::vector<std::uint8_t> Content(std::mt19937_64& rng, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    // A file that ends in the padding byte must still come back at its exact size.
    if (size > 0 && (rng() & 7) == 0) bytes.back() = 0x1A;
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::uint64_t {
            std::uint64_t v = 0;
            if (i + 1 >= argc || !ParseUnsigned(argv[i + 1], v)) {
                std::cerr << "soakloop: " << arg << " needs a number\n";
                std::exit(2);
            }
            ++i;
            return v;
        };
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--transfers") {
            options.transfers = static_cast<unsigned>(value());
        } else if (arg == "--seed") {
            options.seed = value();
            options.seedGiven = true;
        } else if (arg == "--max-size") {
            options.maxSize = static_cast<std::size_t>(value());
        } else if (arg == "--baud") {
            options.baud = static_cast<unsigned>(value());
        } else if (arg == "--deadline-s") {
            options.deadlineSeconds = static_cast<int>(std::min<std::uint64_t>(value(), 3600));
        } else if (arg == "--silence-s") {
            options.silenceSeconds = static_cast<int>(std::min<std::uint64_t>(value(), 3600));
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            std::cerr << "soakloop: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }
    if (!options.seedGiven) {
        options.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^ getpid();
    }
    std::cout << "soakloop: seed " << options.seed << ", " << options.transfers << " transfers" << std::endl;

    char pattern[] = "/tmp/kavo-soakloop-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("soakloop: mkdtemp");
        return 1;
    }
    const std::string folder = pattern;
    const std::string link = folder + "/COM" + std::to_string(kPortNumber);
    const std::string source = folder + "/firmware.bin";
    setenv("KAVODOWN_PORTS", (std::to_string(kPortNumber) + "=" + link).c_str(), 1);

    // The components as the main window sets them up, alive for the whole run.
    auto owner = std::make_unique<kavo::TComponent>();
    auto* port = new kavo::TApdComPort(owner.get());
    port->SetComNumber(kPortNumber);
    port->SetBaud(115200);
    port->SetAutoOpen(false);
    auto* protocol = new kavo::TApdProtocol(owner.get());
    protocol->SetComPort(port);
    protocol->SetProtocolType(kavo::ptXmodem1K);
    protocol->SetBlockCheckMethod(kavo::bcmCrc16);
    protocol->SetHandshakeWait(1092);
    protocol->SetFinishWait(0);
    protocol->SetTurnDelay(1000);
    protocol->SetOverhead(5);
    protocol->SetStatusInterval(10);
    // Without a limit, a terminal that stops answering (its last ACK lost) is waited for until
    // someone cancels, which a loop without an operator would count as a hang.
    protocol->SetSilenceLimit(static_cast<std::uint32_t>(kavo::SecondsToTicks(options.silenceSeconds)));
    std::optional<std::int32_t> finish;
    protocol->SetOnProtocolFinish([&](kavo::TApdCustomProtocol*, std::int32_t code) {
        finish = code;
        port->SetOpen(false);
    });
    // As in the main window, an error closes the port at once; the finish follows.
    protocol->SetOnProtocolError([&](kavo::TApdCustomProtocol*, std::int32_t) { port->SetOpen(false); });

    const Resources start = Measure();
    std::mt19937_64 rng(options.seed);
    std::map<std::string, unsigned> faultKinds;
    std::map<std::int32_t, unsigned> outcomes;
    std::uint64_t corrupted = 0, dropped = 0, stalls = 0, cuts = 0;
    unsigned wrong = 0, hangs = 0, drift = 0, delivered = 0;

    for (unsigned n = 1; n <= options.transfers; ++n) {
        Plan plan = MakePlan(rng, options, link);
        const std::vector<std::uint8_t> content = Content(rng, plan.size);
        {
            std::ofstream out(source, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        for (const auto& kind : plan.faults) ++faultKinds[kind];

        std::string verdict = "ok";
        std::optional<TerminalSimResult> result;
        kavo::sim::LineSimCounts counts;
        finish.reset();
        {
            LineSim line(plan.line);
            line.Start();
            plan.terminal.portPath = line.PathB();
            TerminalSim terminal(plan.terminal);
            terminal.Start();
            try {
                // A receiver that asked with NAK leaves the component on plain XMODEM.
                protocol->SetProtocolType(kavo::ptXmodem1K);
                protocol->SetBlockCheckMethod(kavo::bcmCrc16);
                port->SetOpen(true);
                protocol->SetFileMask(source);
                protocol->BeginTransmit();
            } catch (const std::exception& e) {
                std::cout << "soakloop: transfer " << n << ": start failed: " << e.what() << std::endl;
            }
            if (!PumpUntil([&] { return finish.has_value(); },
                           std::chrono::seconds(options.deadlineSeconds))) {
                ++hangs;
                verdict = "HANG";
                protocol->CancelTransfer();
                port->SetOpen(false);
                PumpUntil([&] { return finish.has_value(); }, 10s);
            }
            // The terminal has ended or ends soon (a cut, a failure or its own time limit).
            PumpUntil([&] { return (result = terminal.Wait(0ms)).has_value(); }, finish == 0 ? 20s : 3s);
            if (!result) {
                terminal.Stop();
                result = terminal.Wait(10s);
            }
            port->SetOpen(false);
            line.Stop();
            counts = line.Counts();
        }
        corrupted += counts.aToB.corrupted + counts.bToA.corrupted;
        dropped += counts.aToB.dropped + counts.bToA.dropped;
        stalls += counts.aToB.stalls + counts.bToA.stalls;
        cuts += counts.cut ? 1 : 0;
        const std::int32_t code = finish.value_or(1);
        ++outcomes[code];
        if (finish == 0) {
            const bool same = result && result->outcome == TerminalSimResult::Outcome::Received &&
                              result->data == content;
            if (same) {
                ++delivered;
            } else {
                ++wrong;
                verdict = "WRONG FILE";
            }
        }
        kavo::ProcessMessages();
        const Resources now = SettledResources(start);
        if (!(now == start)) {
            ++drift;
            verdict = (verdict == "ok" ? std::string() : verdict + ", ") + "DRIFT fds " + std::to_string(now.fds - start.fds) + " threads " +
                       std::to_string(now.threads - start.threads);
        }
        if (!options.quiet || verdict != "ok") {
            std::string kinds;
            for (const auto& k : plan.faults) kinds += (kinds.empty() ? "" : ",") + k;
            std::cout << "soakloop: transfer " << n << ": " << plan.size << " bytes, faults "
                      << (kinds.empty() ? "none" : kinds) << ", code " << code << ", terminal "
                      << (result ? kavo::sim::OutcomeName(result->outcome) : "no result") << ": "
                      << verdict << std::endl;
        }
    }

    owner.reset();
    std::filesystem::remove_all(folder);

    std::cout << "soakloop: summary: transfers " << options.transfers << ", delivered " << delivered
              << ", failed cleanly " << (options.transfers - delivered - wrong - hangs) << ", wrong files "
              << wrong << ", hangs " << hangs << ", fd/thread drift " << drift << " (start fds "
              << start.fds << ", threads " << start.threads << ")" << std::endl;
    std::cout << "soakloop: faults injected: corrupted bytes " << corrupted << ", dropped bytes "
              << dropped << ", stalls " << stalls << ", cable cuts " << cuts;
    for (const auto& [kind, count] : faultKinds) std::cout << ", planned " << kind << " " << count;
    std::cout << std::endl << "soakloop: outcomes by code:";
    for (const auto& [code, count] : outcomes) std::cout << " " << code << "=" << count;
    std::cout << std::endl;
    return wrong == 0 && hangs == 0 && drift == 0 ? 0 : 1;
}
