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

// Reads the command line into `options`; an exit code when the program is to end at once.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::uint64_t number = 0;
        const auto value = [&]() -> bool {
            if (i + 1 >= argc || !ParseUnsigned(argv[i + 1], number)) {
                std::cerr << "soakloop: " << arg << " needs a number\n";
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg != "--transfers" && arg != "--seed" && arg != "--max-size" && arg != "--baud" &&
                   arg != "--deadline-s" && arg != "--silence-s") {
            std::cerr << "soakloop: unknown option " << arg << "\n";
            Usage();
            return 2;
        } else if (!value()) {
            return 2;
        } else if (arg == "--transfers") {
            options.transfers = static_cast<unsigned>(number);
        } else if (arg == "--seed") {
            options.seed = number;
            options.seedGiven = true;
        } else if (arg == "--max-size") {
            options.maxSize = static_cast<std::size_t>(number);
        } else if (arg == "--baud") {
            options.baud = static_cast<unsigned>(number);
        } else if (arg == "--deadline-s") {
            options.deadlineSeconds = static_cast<int>(std::min<std::uint64_t>(number, 3600));
        } else {
            options.silenceSeconds = static_cast<int>(std::min<std::uint64_t>(number, 3600));
        }
    }
    if (!options.seedGiven) {
        options.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^ getpid();
    }
    return std::nullopt;
}

// The components as the main window sets them up, alive for the whole run.
class TSender {
public:
    explicit TSender(int silenceSeconds) : owner_(std::make_unique<kavo::TComponent>()) {
        port_ = new kavo::TApdComPort(owner_.get());
        port_->SetComNumber(kPortNumber);
        port_->SetBaud(115200);
        port_->SetAutoOpen(false);
        protocol_ = new kavo::TApdProtocol(owner_.get());
        protocol_->SetComPort(port_);
        protocol_->SetHandshakeWait(1092);
        protocol_->SetFinishWait(0);
        protocol_->SetTurnDelay(1000);
        protocol_->SetOverhead(5);
        protocol_->SetStatusInterval(10);
        // Without a limit, a terminal that stops answering (its last ACK lost) is waited for until
        // someone cancels, which a loop without an operator would count as a hang.
        protocol_->SetSilenceLimit(static_cast<std::uint32_t>(kavo::SecondsToTicks(silenceSeconds)));
        protocol_->SetOnProtocolFinish([this](kavo::TApdCustomProtocol*, std::int32_t code) {
            finish_ = code;
            port_->SetOpen(false);
        });
        // As in the main window, an error closes the port at once; the finish follows.
        protocol_->SetOnProtocolError([this](kavo::TApdCustomProtocol*, std::int32_t) { port_->SetOpen(false); });
    }

    // Sends `source`; false (and the transfer cancelled) when it has not ended by the deadline.
    bool Send(unsigned n, const std::string& source, std::chrono::seconds deadline) {
        finish_.reset();
        try {
            // A receiver that asked with NAK leaves the component on plain XMODEM.
            protocol_->SetProtocolType(kavo::ptXmodem1K);
            protocol_->SetBlockCheckMethod(kavo::bcmCrc16);
            port_->SetOpen(true);
            protocol_->SetFileMask(source);
            protocol_->BeginTransmit();
        } catch (const std::exception& e) {
            std::cout << "soakloop: transfer " << n << ": start failed: " << e.what() << std::endl;
        }
        if (PumpUntil([this] { return finish_.has_value(); }, deadline)) return true;
        protocol_->CancelTransfer();
        port_->SetOpen(false);
        PumpUntil([this] { return finish_.has_value(); }, 10s);
        return false;
    }
    void Close() { port_->SetOpen(false); }
    const std::optional<std::int32_t>& Finish() const { return finish_; }

private:
    std::unique_ptr<kavo::TComponent> owner_;  // owns the port and the protocol
    kavo::TApdComPort* port_ = nullptr;
    kavo::TApdProtocol* protocol_ = nullptr;
    std::optional<std::int32_t> finish_;
};

// What the run counted.
struct Tally {
    std::map<std::string, unsigned> faultKinds;
    std::map<std::int32_t, unsigned> outcomes;
    std::uint64_t corrupted = 0, dropped = 0, stalls = 0, cuts = 0;
    unsigned wrong = 0, hangs = 0, drift = 0, delivered = 0;

    void Print(unsigned transfers, const Resources& start) const {
        std::cout << "soakloop: summary: transfers " << transfers << ", delivered " << delivered
                  << ", failed cleanly " << (transfers - delivered - wrong - hangs) << ", wrong files "
                  << wrong << ", hangs " << hangs << ", fd/thread drift " << drift << " (start fds "
                  << start.fds << ", threads " << start.threads << ")" << std::endl;
        std::cout << "soakloop: faults injected: corrupted bytes " << corrupted << ", dropped bytes "
                  << dropped << ", stalls " << stalls << ", cable cuts " << cuts;
        for (const auto& [kind, count] : faultKinds) std::cout << ", planned " << kind << " " << count;
        std::cout << std::endl << "soakloop: outcomes by code:";
        for (const auto& [code, count] : outcomes) std::cout << " " << code << "=" << count;
        std::cout << std::endl;
    }
};

// One transfer of the plan over a new cable to a new terminal; counts it and returns its verdict.
std::string RunTransfer(unsigned n, const Plan& planned, const std::vector<std::uint8_t>& content,
                        const std::string& source, const Options& options, TSender& sender,
                        Tally& tally, std::optional<TerminalSimResult>& result) {
    Plan plan = planned;
    std::string verdict = "ok";
    kavo::sim::LineSimCounts counts;
    {
        LineSim line(plan.line);
        line.Start();
        plan.terminal.portPath = line.PathB();
        TerminalSim terminal(plan.terminal);
        terminal.Start();
        if (!sender.Send(n, source, std::chrono::seconds(options.deadlineSeconds))) {
            ++tally.hangs;
            verdict = "HANG";
        }
        // The terminal has ended or ends soon (a cut, a failure or its own time limit).
        PumpUntil([&] { return (result = terminal.Wait(0ms)).has_value(); }, sender.Finish() == 0 ? 20s : 3s);
        if (!result) {
            terminal.Stop();
            result = terminal.Wait(10s);
        }
        sender.Close();
        line.Stop();
        counts = line.Counts();
    }
    tally.corrupted += counts.aToB.corrupted + counts.bToA.corrupted;
    tally.dropped += counts.aToB.dropped + counts.bToA.dropped;
    tally.stalls += counts.aToB.stalls + counts.bToA.stalls;
    tally.cuts += counts.cut ? 1 : 0;
    ++tally.outcomes[sender.Finish().value_or(1)];
    if (sender.Finish() == 0) {
        if (result && result->outcome == TerminalSimResult::Outcome::Received && result->data == content) {
            ++tally.delivered;
        } else {
            ++tally.wrong;
            verdict = "WRONG FILE";
        }
    }
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> code = ParseOptions(argc, argv, options)) return *code;
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

    auto sender = std::make_unique<TSender>(options.silenceSeconds);
    const Resources start = Measure();
    std::mt19937_64 rng(options.seed);
    Tally tally;
    for (unsigned n = 1; n <= options.transfers; ++n) {
        const Plan plan = MakePlan(rng, options, link);
        const std::vector<std::uint8_t> content = Content(rng, plan.size);
        {
            std::ofstream out(source, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        for (const auto& kind : plan.faults) ++tally.faultKinds[kind];
        std::optional<TerminalSimResult> result;
        std::string verdict = RunTransfer(n, plan, content, source, options, *sender, tally, result);
        kavo::ProcessMessages();
        const Resources now = SettledResources(start);
        if (!(now == start)) {
            ++tally.drift;
            verdict = (verdict == "ok" ? std::string() : verdict + ", ") + "DRIFT fds " +
                      std::to_string(now.fds - start.fds) + " threads " + std::to_string(now.threads - start.threads);
        }
        if (!options.quiet || verdict != "ok") {
            std::string kinds;
            for (const auto& k : plan.faults) kinds += (kinds.empty() ? "" : ",") + k;
            std::cout << "soakloop: transfer " << n << ": " << plan.size << " bytes, faults "
                      << (kinds.empty() ? "none" : kinds) << ", code " << sender->Finish().value_or(1)
                      << ", terminal " << (result ? kavo::sim::OutcomeName(result->outcome) : "no result")
                      << ": " << verdict << std::endl;
        }
    }

    sender.reset();
    std::filesystem::remove_all(folder);
    tally.Print(options.transfers, start);
    return tally.wrong == 0 && tally.hangs == 0 && tally.drift == 0 ? 0 : 1;
}
