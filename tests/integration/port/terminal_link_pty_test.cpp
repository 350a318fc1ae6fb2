// The terminal link's frame parser behind the real port component, over a pty: the terminal's
// packet arrives one byte at a time, each byte delivered on its own, and the link answers it with
// three ACK bytes (or three NAK bytes for a wrong LRC) on the line.
#include "serial/com_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/terminal_link.h"
#include "app/uutil.h"
#include "platform/message_queue.h"
#include "pty_pair.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// The port component as the packet methods see it (as the main window wires it).
class ComPortTerminal : public TerminalPort {
public:
    explicit ComPortTerminal(TApdComPort& port) : port_(port) {}
    bool IsOpen() const override { return port_.Open(); }
    void SendString(const std::string& bytes) override { port_.SendString(bytes); }
    int OutputUsed() override { return static_cast<int>(port_.OutputUsed()); }
    bool InputReady() override { return port_.InputReady(); }
    unsigned char ReadChar() override { return static_cast<unsigned char>(port_.ReadChar()); }

private:
    TApdComPort& port_;
};

// Runs the calling thread's messages until `done` holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        WaitForMessage(5);
        ProcessMessages();
    }
    return true;
}

std::string WithWrongLrc(std::string packet) {
    packet.back() = static_cast<char>(packet.back() ^ 0x5A);
    return packet;
}

struct Arrival {
    std::string name;
    std::string bytes;   // what the terminal sends, one byte at a time
    unsigned char reply;  // ACK or NAK, three times
};

class FrameParserOverPty : public ::testing::TestWithParam<Arrival> {
protected:
    void SetUp() override { setenv("KAVODOWN_PORTS", ("9=" + line.DevicePath()).c_str(), 1); }
    void TearDown() override { unsetenv("KAVODOWN_PORTS"); }
    sim::PtyPair line;
};

TEST_P(FrameParserOverPty, AnswersThePacketOnce) {
    TApdComPort port(nullptr);
    port.SetComNumber(9);
    port.SetBaud(115200);
    port.SetAutoOpen(false);
    ComPortTerminal terminal(port);
    TerminalLink link(terminal);
    std::size_t delivered = 0;
    port.SetOnTriggerAvail([&](TApdCustomComPort*, std::uint16_t count) {
        delivered += count;
        link.OnAvail(count);
    });
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());

    const std::string& bytes = GetParam().bytes;
    for (char c : bytes) {
        line.Write(std::string(1, c));
        // Each byte is taken before the next one leaves the terminal.
        const std::size_t before = delivered;
        ASSERT_TRUE(PumpUntil([&] { return delivered > before; }, 5000ms)) << "byte not delivered";
    }
    const auto answer = line.Read(3, 5000ms);
    EXPECT_EQ(answer, std::vector<std::uint8_t>(3, GetParam().reply));
    EXPECT_TRUE(line.ReadUntilQuiet(200ms, 1s).empty()) << "answered more than once";
    EXPECT_EQ(link.Parser().FrameState(), 0);
    port.SetOpen(false);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, FrameParserOverPty,
    ::testing::Values(Arrival{"Good", BuildPacket(0x31, "KV5000 1.02"), kACK},
                      Arrival{"WrongLrc", WithWrongLrc(BuildPacket(0x31, "KV5000 1.02")), kNAK},
                      Arrival{"AfterNoiseAndDiscard", "\x41\x0f" + BuildPacket(0x32, "ok"), kACK},
                      Arrival{"EmptyData", BuildPacket(0x33, ""), kACK}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavo
