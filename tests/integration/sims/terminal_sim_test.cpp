// The terminal simulator as a receiver: against a scripted sender of the test (every reply and
// fault, byte by byte), against independent XMODEM senders (lrzsz sx, python3-xmodem) through the
// line simulator, and in USB mode against a real FAT volume mounted through FUSE.
#include "terminal_sim.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "line_sim.h"
#include "pty_pair.h"

namespace kavo::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Outcome = TerminalSimResult::Outcome;
namespace fs = std::filesystem;

Bytes Pattern(std::size_t size, unsigned salt = 0) {
    Bytes b(size);
    std::uint32_t x = 88172645u + salt;
    for (auto& v : b) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        v = static_cast<std::uint8_t>(x);
    }
    return b;
}

// An XMODEM block as a transmitter sends it; `data` is padded with 0x1A to the block size.
Bytes Block(std::uint64_t number, Bytes data, std::size_t size, bool crc = true) {
    data.resize(size, kSub);
    Bytes b;
    b.reserve(size + 5);
    b.push_back(size == 128 ? kSoh : kStx);
    b.push_back(static_cast<std::uint8_t>(number & 0xFF));
    b.push_back(static_cast<std::uint8_t>(0xFF - (number & 0xFF)));
    for (auto v : data) b.push_back(v);
    if (crc) {
        const std::uint16_t c = Crc16Xmodem(data.data(), data.size());
        b.push_back(static_cast<std::uint8_t>(c >> 8));
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
    } else {
        std::uint8_t sum = 0;
        for (auto v : data) sum = static_cast<std::uint8_t>(sum + v);
        b.push_back(sum);
    }
    return b;
}

// The simulator on one end of a pty pair; the test plays the tool on the other.
struct Bench {
    explicit Bench(TerminalSimOptions options) {
        options.portPath = pty.DevicePath();
        sim = std::make_unique<TerminalSim>(std::move(options));
        sim->Start();
        EXPECT_TRUE(sim->WaitReady(20s));
    }
    // The next byte the simulator sends, or -1 after `deadline` of silence.
    int Reply(std::chrono::milliseconds deadline = 5000ms) {
        Bytes b = pty.Read(1, deadline);
        return b.empty() ? -1 : b[0];
    }
    TerminalSimResult Result() {
        auto r = sim->Wait(30s);
        EXPECT_TRUE(r.has_value());
        return r.value_or(TerminalSimResult{});
    }
    PtyPair pty;
    std::unique_ptr<TerminalSim> sim;
};

TerminalSimOptions Quiet() {
    TerminalSimOptions o;
    o.handshakeMs = 100;
    o.ignoreHandshakes = 1000000;  // no start characters in the way
    return o;
}

// A receiver that asks for the file every 200 ms.
TerminalSimOptions Receiving() {
    TerminalSimOptions o;
    o.handshakeMs = 200;
    return o;
}

TEST(TerminalSim, AnswersWakeUpAndFramedPacketsWithOneByte) {
    Bench bench(Quiet());
    bench.pty.Write("DDD");
    EXPECT_EQ(bench.pty.ReadUntilQuiet(300ms, 5s), Bytes{kAck});
    // The tool's USB command, as it is framed on the line.
    bench.pty.Write(Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97});
    EXPECT_EQ(bench.pty.ReadUntilQuiet(300ms, 5s), Bytes{kAck});
    bench.pty.Write(Bytes{0x02, 0x10, 0x00, 0x01, 0x41, 0x53});  // wrong LRC (0x52 is right)
    EXPECT_EQ(bench.pty.ReadUntilQuiet(300ms, 5s), Bytes{kNak});
    bench.pty.Write(FramePacket(0x22, Bytes(150, 'x')));
    EXPECT_EQ(bench.pty.ReadUntilQuiet(300ms, 5s), Bytes{kAck});
    bench.sim->Stop();
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    EXPECT_EQ(r.dddAnswered, 1u);
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0], (Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97}));
    EXPECT_EQ(r.packets[1].size(), 155u);
    EXPECT_EQ(r.badPackets, 1u);
}

TEST(TerminalSim, SendsItsOwnPacketAfterTheWakeUpAndCountsTheAnswer) {
    TerminalSimOptions o = Quiet();
    o.sendPackets.push_back(FramePacket(0x10, Bytes{'A'}));
    o.packetsAfterDdd = true;
    Bench bench(o);
    bench.pty.Write("DDD");
    EXPECT_EQ(bench.pty.Read(7, 5s), (Bytes{kAck, 0x02, 0x10, 0x00, 0x01, 0x41, 0x52}));
    bench.pty.Write(Bytes{kAck, kAck, kAck});
    bench.pty.Write(Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97});  // something after, to know the ACKs were read
    EXPECT_EQ(bench.Reply(), kAck);
    bench.sim->Stop();
    EXPECT_EQ(bench.Result().answerAcks, 3u);
}

TEST(TerminalSim, ReceivesMixedBlocksRepeatsAndDamagedCopies) {
    TerminalSimOptions o = Receiving();
    o.purgeQuietMs = 50;
    Bench bench(o);
    EXPECT_EQ(bench.Reply(), 'C');
    const Bytes first = Pattern(1024, 1), second = Pattern(100, 2);
    bench.pty.Write(Block(1, first, 1024));
    EXPECT_EQ(bench.Reply(), kAck);
    Bytes damaged = Block(2, second, 128);
    damaged[40] ^= 0x10;
    bench.pty.Write(damaged);
    EXPECT_EQ(bench.Reply(), kNak);
    Bytes badComplement = Block(2, second, 128);
    badComplement[2] = 0x00;
    bench.pty.Write(badComplement);
    EXPECT_EQ(bench.Reply(), kNak);
    bench.pty.Write(Block(2, second, 128));
    EXPECT_EQ(bench.Reply(), kAck);
    bench.pty.Write(Block(2, second, 128));  // our ACK was "lost": the sender repeats
    EXPECT_EQ(bench.Reply(), kAck);
    bench.pty.Write(Bytes{kEot});
    EXPECT_EQ(bench.Reply(), kAck);
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::Received);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.resize(1024 + 128, kSub);
    EXPECT_EQ(r.data, expected);
    EXPECT_EQ(r.blocks, 2u);
    EXPECT_EQ(r.blocks1024, 1u);
    EXPECT_EQ(r.blocks128, 1u);
    EXPECT_EQ(r.retries, 2u);
    EXPECT_EQ(r.repeats, 1u);
    EXPECT_EQ(r.ExitCode(), 0);
}

// What a damaged line leaves at a block start: a lost byte, stray bytes, an EOT inside data.
TEST(TerminalSim, LineDamageIsNakedAndNeverEndsTheFile) {
    TerminalSimOptions o = Receiving();
    o.purgeQuietMs = 50;
    o.byteTimeoutMs = 200;
    Bench bench(o);
    EXPECT_EQ(bench.Reply(), 'C');
    const Bytes first = Pattern(128, 8), second = Pattern(128, 9);
    bench.pty.Write(Block(1, first, 128));
    EXPECT_EQ(bench.Reply(), kAck);
    Bytes shortBlock = Block(2, second, 128);
    shortBlock.erase(shortBlock.begin() + 60);  // a byte dropped on the line
    bench.pty.Write(shortBlock);
    EXPECT_EQ(bench.Reply(), kNak);
    Bytes lostStart = Block(2, second, 128);
    lostStart.erase(lostStart.begin());  // the start byte lost: the rest is noise, EOTs included
    lostStart[10] = kEot;
    bench.pty.Write(lostStart);
    EXPECT_EQ(bench.pty.ReadUntilQuiet(500ms, 10s), Bytes{kNak});
    bench.pty.Write(Bytes{kEot, 0x33, 0x44});  // an EOT followed by more bytes is damage too
    EXPECT_EQ(bench.pty.ReadUntilQuiet(500ms, 10s), Bytes{kNak});
    bench.pty.Write(Block(2, second, 128));
    EXPECT_EQ(bench.Reply(), kAck);
    bench.pty.Write(Bytes{kEot});
    EXPECT_EQ(bench.Reply(), kAck);
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::Received);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(r.data, expected);
    EXPECT_EQ(r.retries, 3u);
}

TEST(TerminalSim, ChecksumModeAndPaddingTrim) {
    for (bool strip : {false, true}) {
        SCOPED_TRACE(strip);
        TerminalSimOptions o = Receiving();
        o.checksum = true;
        if (strip) o.stripSub = true;
        else o.trimSize = 1030;
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), kNak);
        const Bytes data = Pattern(1030, 3);
        bench.pty.Write(Block(1, Bytes(data.begin(), data.begin() + 1024), 1024, false));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Block(2, Bytes(data.begin() + 1024, data.end()), 1024, false));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(), kAck);
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.outcome, Outcome::Received);
        EXPECT_FALSE(r.crc);
        EXPECT_EQ(r.data, data);
    }
}

TEST(TerminalSim, BlockNumbersWrapAndAnEmptyFileIsJustAnEot) {
    {
        TerminalSimOptions o = Receiving();
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        Bytes all;
        for (std::uint64_t n = 1; n <= 258; ++n) {
            const Bytes d = Pattern(128, static_cast<unsigned>(n));
            all.insert(all.end(), d.begin(), d.end());
            bench.pty.Write(Block(n, d, 128));  // block 256 carries number 0, complement 0xFF
            ASSERT_EQ(bench.Reply(), kAck) << "block " << n;
        }
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(), kAck);
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.blocks, 258u);
        EXPECT_EQ(r.data, all);
    }
    {
        TerminalSimOptions o = Receiving();
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(), kAck);
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.outcome, Outcome::Received);
        EXPECT_TRUE(r.data.empty());
    }
}

TEST(TerminalSim, InjectedRepliesNakGarbageAndEotNak) {
    TerminalSimOptions o = Receiving();
    o.nakBlocks[2] = 2;
    o.garbageBlocks[3] = 1;
    o.nakEots = 1;
    Bench bench(o);
    EXPECT_EQ(bench.Reply(), 'C');
    const Bytes data = Pattern(3 * 1024, 4);
    auto part = [&](int n) { return Bytes(data.begin() + (n - 1) * 1024, data.begin() + n * 1024); };
    bench.pty.Write(Block(1, part(1), 1024));
    EXPECT_EQ(bench.Reply(), kAck);
    for (int reply : {int{kNak}, int{kNak}, int{kAck}}) {
        bench.pty.Write(Block(2, part(2), 1024));
        EXPECT_EQ(bench.Reply(), reply);
    }
    for (int reply : {int{'?'}, int{kAck}}) {
        bench.pty.Write(Block(3, part(3), 1024));
        EXPECT_EQ(bench.Reply(), reply);
    }
    for (int reply : {int{kNak}, int{kAck}}) {
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(), reply);
    }
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::Received);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.retries, 3u);
}

TEST(TerminalSim, FaultsThatEndTheSession) {
    {
        SCOPED_TRACE("cancel at block 2");
        TerminalSimOptions o = Receiving();
        o.cancelAtBlock = 2;
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Block(1, Pattern(1024), 1024));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Block(2, Pattern(1024), 1024));
        EXPECT_EQ(bench.Reply(), kCan);
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.outcome, Outcome::FaultEnded);
        EXPECT_EQ(r.ExitCode(), 3);
    }
    {
        SCOPED_TRACE("stop after block 1");
        TerminalSimOptions o = Receiving();
        o.stopAfterBlock = 1;
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Block(1, Pattern(1024), 1024));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Block(2, Pattern(1024), 1024));
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(1000ms), -1);
        bench.sim->Stop();
        EXPECT_EQ(bench.Result().outcome, Outcome::FaultEnded);
    }
    {
        SCOPED_TRACE("silent at the EOT");
        TerminalSimOptions o = Receiving();
        o.silentAtEot = true;
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Block(1, Pattern(1024), 1024));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(1000ms), -1);
        bench.pty.Write(Bytes{kEot});
        EXPECT_EQ(bench.Reply(500ms), -1);
        bench.sim->Stop();
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.outcome, Outcome::FaultEnded);
        EXPECT_EQ(r.blocks, 1u);
    }
    {
        SCOPED_TRACE("never answer");
        TerminalSimOptions o;
        o.handshakeMs = 50;
        o.neverAnswer = true;
        Bench bench(o);
        bench.pty.Write("DDD");
        bench.pty.Write(Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97});
        EXPECT_EQ(bench.Reply(1000ms), -1);
        bench.sim->Stop();
        EXPECT_EQ(bench.Result().outcome, Outcome::FaultEnded);
    }
    {
        SCOPED_TRACE("block out of sequence");
        TerminalSimOptions o = Receiving();
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Block(1, Pattern(128), 128));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Block(3, Pattern(128), 128));
        EXPECT_EQ(bench.pty.Read(3, 5s), (Bytes{kCan, kCan, kCan}));
        EXPECT_EQ(bench.Result().outcome, Outcome::Failed);
    }
    {
        SCOPED_TRACE("sender cancels");
        TerminalSimOptions o = Receiving();
        Bench bench(o);
        EXPECT_EQ(bench.Reply(), 'C');
        bench.pty.Write(Block(1, Pattern(128), 128));
        EXPECT_EQ(bench.Reply(), kAck);
        bench.pty.Write(Bytes{kCan, kCan, kCan, 0x08, 0x08, 0x08});
        const TerminalSimResult r = bench.Result();
        EXPECT_EQ(r.outcome, Outcome::SenderCancelled);
        EXPECT_EQ(r.ExitCode(), 1);
    }
}

TEST(TerminalSim, IgnoredHandshakePeriodsComeFirst) {
    TerminalSimOptions o;
    o.handshakeMs = 100;
    o.ignoreHandshakes = 3;
    o.garbageHandshakes = 1;
    Bench bench(o);
    // Three silent periods, one garbage start character, then the real ones.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bench.Reply(), '?');
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);  // lower bound only
    EXPECT_EQ(bench.Reply(), 'C');
    bench.sim->Stop();
    EXPECT_EQ(bench.Result().handshakes, 1u);
}

// --- independent senders, through the line simulator ------------------------------------------

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Runs `command` with the port as its standard input and output.
int RunOnPort(const std::string& command, const std::string& port) {
    const std::string line = "timeout 60 " + command + " <" + port + " >" + port + " 2>/dev/null";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct PeerRun {
    TerminalSimResult result;
    int peerStatus = -1;
};

PeerRun ReceiveFromPeer(const std::string& command, TerminalSimOptions o) {
    LineSimOptions lineOptions;
    LineSim line(lineOptions);
    line.Start();
    o.portPath = line.PathB();
    o.handshakeMs = 300;
    o.timeoutMs = 90000;
    TerminalSim sim(o);
    sim.Start();
    EXPECT_TRUE(sim.WaitReady(20s));
    PeerRun run;
    run.peerStatus = RunOnPort(command, line.PathA());
    auto r = sim.Wait(60s);
    EXPECT_TRUE(r.has_value());
    if (r) run.result = *r;
    return run;
}

bool Installed(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// An independent sender sends a file from a folder of the test's own.
class TerminalSimPeers : public ::testing::Test {
protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("termsim-peer-" + std::to_string(getpid()))).string();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

TEST_F(TerminalSimPeers, ReceivesFromLrzszSx) {
    if (!Installed("sx")) GTEST_SKIP() << "lrzsz (sx) is not installed";
    const Bytes data = Pattern(150000 + 77, 5);
    WriteFile(dir + "/fw.bin", data);
    {
        SCOPED_TRACE("XMODEM-1K with CRC-16");
        TerminalSimOptions o;
        o.trimSize = static_cast<std::int64_t>(data.size());
        PeerRun run = ReceiveFromPeer("sx -k " + dir + "/fw.bin", o);
        EXPECT_EQ(run.peerStatus, 0);
        EXPECT_EQ(run.result.outcome, Outcome::Received) << run.result.Summary();
        EXPECT_EQ(run.result.data, data);
        EXPECT_GT(run.result.blocks1024, 0u);
    }
    {
        SCOPED_TRACE("128-byte blocks with the checksum");
        TerminalSimOptions o;
        o.checksum = true;
        o.trimSize = static_cast<std::int64_t>(data.size());
        PeerRun run = ReceiveFromPeer("sx " + dir + "/fw.bin", o);
        EXPECT_EQ(run.peerStatus, 0);
        EXPECT_EQ(run.result.outcome, Outcome::Received) << run.result.Summary();
        EXPECT_EQ(run.result.data, data);
        EXPECT_EQ(run.result.blocks1024, 0u);
        EXPECT_FALSE(run.result.crc);
    }
}

TEST_F(TerminalSimPeers, ReceivesFromPythonXmodem1K) {
    // The module comes from the distribution's package, so the distribution's interpreter runs it.
    const std::string python = "/usr/bin/python3";
    if (std::system((python + " -c 'import xmodem' >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << "python3-xmodem is not installed";
    }
    const Bytes data = Pattern(100000 + 3, 6);
    WriteFile(dir + "/fw.bin", data);
    std::ofstream(dir + "/send.py") <<
        "import os, select, sys\n"
        "from xmodem import XMODEM1k\n"
        "def getc(size, timeout=1):\n"
        "    data = b''\n"
        "    while len(data) < size:\n"
        "        if not select.select([0], [], [], timeout)[0]:\n"
        "            return data or None\n"
        "        data += os.read(0, size - len(data))\n"
        "    return data\n"
        "def putc(data, timeout=1):\n"
        "    os.write(1, data)\n"
        "    return len(data)\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    sys.exit(0 if XMODEM1k(getc, putc).send(f, retry=16) else 1)\n";
    TerminalSimOptions o;
    o.stripSub = false;
    o.trimSize = static_cast<std::int64_t>(data.size());
    PeerRun run = ReceiveFromPeer(python + " " + dir + "/send.py " + dir + "/fw.bin", o);
    EXPECT_EQ(run.peerStatus, 0);
    EXPECT_EQ(run.result.outcome, Outcome::Received) << run.result.Summary();
    EXPECT_EQ(run.result.data, data);
    EXPECT_TRUE(run.result.crc);
}

// --- USB mode ----------------------------------------------------------------------------------

std::string MountSourceOf(const std::string& mountPoint) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, dev, root, point;
        f >> id >> parent >> dev >> root >> point;
        if (point != mountPoint) continue;
        auto dash = line.find(" - ");
        std::istringstream rest(line.substr(dash + 3));
        std::string type, source;
        rest >> type >> source;
        return type + " " + source;
    }
    return {};
}

class TerminalSimUsb : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/fuse", R_OK | W_OK) != 0 || !Installed("fusefat") || !Installed("mkfs.vfat")) {
            GTEST_SKIP() << "FUSE, fusefat or mkfs.vfat missing";
        }
    }
};

TEST_F(TerminalSimUsb, DeliversTheFirmwareThroughAFatVolume) {
    TerminalSimOptions o = Quiet();
    o.usb = true;
    Bench bench(o);
    const std::string mountPoint = bench.sim->MountPoint();
    ASSERT_FALSE(mountPoint.empty());
    EXPECT_TRUE(fs::is_directory(mountPoint + "/Down"));
    const std::string source = MountSourceOf(mountPoint);
    EXPECT_EQ(source.rfind("fuse", 0), 0u) << source;
    EXPECT_NE(source.find("volume.img"), std::string::npos) << source;

    const Bytes firmware = Pattern(70000, 7);
    WriteFile(mountPoint + "/Down/FW.BIN", firmware);
    bench.pty.Write(Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97});
    EXPECT_EQ(bench.Reply(), kAck);
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::UsbDelivered) << r.Summary();
    EXPECT_EQ(r.usbFileName, "FW.BIN");
    EXPECT_EQ(r.data, firmware);
    EXPECT_TRUE(MountSourceOf(mountPoint).empty());
}

TEST_F(TerminalSimUsb, CommandWithoutFirmwareFails) {
    TerminalSimOptions o = Quiet();
    o.usb = true;
    o.fatBits = 12;
    Bench bench(o);
    bench.pty.Write(Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97});
    EXPECT_EQ(bench.Reply(), kAck);
    const TerminalSimResult r = bench.Result();
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(r.ExitCode(), 1);
}

}  // namespace
}  // namespace kavo::sim
