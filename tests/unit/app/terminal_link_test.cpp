#include "app/terminal_link.h"
#include "app/uutil.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <random>
#include <stdexcept>

namespace kavo {
namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// A port whose received bytes and output queue the test controls.
class FakePort : public TerminalPort {
public:
    bool IsOpen() const override { return open; }
    void SendString(const std::string& bytes) override {
        if (failSend) throw std::runtime_error("device error");
        sent += bytes;
        outputUsed = static_cast<int>(bytes.size());
    }
    int OutputUsed() override {
        ++outputPolls;
        if (outputUsed > 0) outputUsed = std::max(0, outputUsed - drainPerPoll);
        return outputUsed;
    }
    bool InputReady() override { return !input.empty(); }
    unsigned char ReadChar() override {
        unsigned char b = input.front();
        input.pop_front();
        return b;
    }
    void Receive(const std::string& bytes) {
        for (char c : bytes) input.push_back(static_cast<unsigned char>(c));
    }

    bool open = true;
    bool failSend = false;
    int outputUsed = 0;
    int drainPerPoll = 1;
    int outputPolls = 0;
    std::string sent;
    std::deque<unsigned char> input;
};

// A clock that advances only when the code under test sleeps.
struct FakeTime {
    std::uint64_t now = 1000;
    std::vector<int> sleeps;
    std::function<void()> onPump;
    int pumps = 0;
    WaitServices Services() {
        return WaitServices{[this] { return now; },
                            [this](int ms) {
                                sleeps.push_back(ms);
                                now += static_cast<std::uint64_t>(ms);
                            },
                            [this] {
                                ++pumps;
                                if (onPump) onPump();
                            }};
    }
};

class TerminalLinkTest : public ::testing::Test {
protected:
    FakePort port;
    FakeTime time;
    TerminalLink link{port, time.Services()};

    void Feed(const std::string& bytes) {
        port.Receive(bytes);
        link.OnAvail(static_cast<int>(bytes.size()));
    }
};

// ---- Frame parser ---------------------------------------------------------------------------

TEST(FrameParser, GoodAndBadLrc) {
    TerminalFrameParser parser;
    const std::string packet = B({0x02, 0x10, 0x00, 0x01, 0x41});
    for (char c : packet) EXPECT_EQ(parser.Feed(static_cast<unsigned char>(c)), TerminalFrameParser::Reply::None);
    EXPECT_EQ(parser.FrameState(), 2);
    EXPECT_EQ(parser.FrameLen(), 1);
    EXPECT_EQ(parser.Feed(0x52), TerminalFrameParser::Reply::Ack);
    EXPECT_EQ(parser.FrameState(), 0);
    EXPECT_TRUE(parser.FrameBuf().empty());
    for (char c : packet) parser.Feed(static_cast<unsigned char>(c));
    EXPECT_EQ(parser.Feed(0x53), TerminalFrameParser::Reply::Nak);
    EXPECT_EQ(parser.FrameState(), 0);
}

TEST(FrameParser, ShiftInOutsideDiscardsInsideIsData) {
    TerminalFrameParser parser;
    parser.Feed('x');
    parser.Feed('y');
    EXPECT_EQ(parser.FrameBuf(), "xy");
    parser.Feed(0x0F);
    EXPECT_EQ(parser.FrameBuf(), B({0x0F}));
    EXPECT_EQ(parser.FrameState(), 0);  // a restart with 0x0F begins no packet
    // Inside a packet, 0x0F and 0x02 are ordinary bytes.
    std::string packet = B({0x02, 0x20, 0x00, 0x02, 0x0F, 0x02});
    packet.push_back(static_cast<char>(MakeLRC(packet)));
    TerminalFrameParser::Reply last = TerminalFrameParser::Reply::None;
    for (char c : packet) last = parser.Feed(static_cast<unsigned char>(c));
    EXPECT_EQ(last, TerminalFrameParser::Reply::Ack);
}

TEST(FrameParser, EmptyPacketAndHalfPacketContinuedByNextBytes) {
    TerminalFrameParser parser;
    std::string empty = B({0x02, 0x30, 0x00, 0x00});
    for (char c : empty) parser.Feed(static_cast<unsigned char>(c));
    EXPECT_EQ(parser.FrameState(), 2);
    EXPECT_EQ(parser.Feed(0x32), TerminalFrameParser::Reply::Ack);  // 0x02 ^ 0x30

    // A packet that stops after its header is continued by whatever comes next.
    for (char c : B({0x02, 0x40, 0x00, 0x03, 'a'})) parser.Feed(static_cast<unsigned char>(c));
    EXPECT_EQ(parser.Feed(0x02), TerminalFrameParser::Reply::None);  // data now, not a new packet
    EXPECT_EQ(parser.Feed(0x40), TerminalFrameParser::Reply::None);
    EXPECT_EQ(parser.FrameBuf().size(), 7u);
    EXPECT_NE(parser.Feed(0x00), TerminalFrameParser::Reply::None);  // length 3 + 5 reached
    EXPECT_EQ(parser.FrameState(), 0);
}

TEST(FrameParser, NoiseBeforeAPacketIsBoundedAndNeverAnswered) {
    TerminalFrameParser parser;
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; ++i) {
        unsigned char b = static_cast<unsigned char>(rng() % 256);
        if (b == 0x02) b = 0x03;
        EXPECT_EQ(parser.Feed(b), TerminalFrameParser::Reply::None);
    }
    EXPECT_EQ(parser.FrameState(), 0);
    EXPECT_LE(parser.FrameBuf().size(), TerminalFrameParser::kMaxIdleBytes);
}

// Random bytes never crash the parser, its buffer stays within the longest possible packet, and
// whenever it is outside a packet a well-formed packet is acknowledged.
TEST(FrameParser, FuzzedInputKeepsInvariants) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        TerminalFrameParser parser;
        int n = static_cast<int>(rng() % 3000);
        for (int i = 0; i < n; ++i) {
            unsigned char b = static_cast<unsigned char>(rng() % 8 == 0 ? 0x02 : rng() % 256);
            parser.Feed(b);
            ASSERT_LE(parser.FrameBuf().size(), 16665u + 5);
            ASSERT_GE(parser.FrameState(), 0);
            ASSERT_LE(parser.FrameState(), 2);
        }
        if (parser.FrameState() == 0) {
            std::string p = BuildPacket(0x51, "hello");
            TerminalFrameParser::Reply last = TerminalFrameParser::Reply::None;
            for (char c : p) last = parser.Feed(static_cast<unsigned char>(c));
            ASSERT_EQ(last, TerminalFrameParser::Reply::Ack) << "round " << round;
        }
    }
}

// ---- Receive handler ------------------------------------------------------------------------

TEST_F(TerminalLinkTest, AnswersPacketsWithThreeAcksOrNaks) {
    Feed(B({0x02, 0x10, 0x00, 0x01, 0x41, 0x52}));
    EXPECT_EQ(port.sent, B({0x06, 0x06, 0x06}));
    port.sent.clear();
    Feed(B({0x02, 0x10, 0x00, 0x01, 0x41, 0x50}));
    EXPECT_EQ(port.sent, B({0x15, 0x15, 0x15}));
    // Every byte also lands in the receive buffer.
    EXPECT_EQ(link.RecvBuf().size(), 12u);
}

TEST_F(TerminalLinkTest, BytesBeforeAnyStxAreNeverAnswered) {
    Feed("garbage\x06\x15");
    EXPECT_TRUE(port.sent.empty());
    EXPECT_EQ(link.RecvBuf(), "garbage\x06\x15");
}

TEST_F(TerminalLinkTest, CountLargerThanWaitingBytesTakesOnlyWhatIsThere) {
    port.Receive("ab");
    link.OnAvail(5);
    EXPECT_EQ(link.RecvBuf(), "ab");
    port.Receive("cd");
    link.OnAvail(1);  // only one of the two
    EXPECT_EQ(link.RecvBuf(), "abc");
    EXPECT_EQ(port.input.size(), 1u);
}

TEST_F(TerminalLinkTest, ReceiveBufferKeepsTheNewestBytesWhenBounded) {
    std::string chunk(4096, 'n');
    for (int i = 0; i < 100; ++i) Feed(chunk);
    Feed("TAIL");
    EXPECT_GE(link.RecvBuf().size(), TerminalLink::kRecvKeep);
    EXPECT_LE(link.RecvBuf().size(), 2 * TerminalLink::kRecvKeep);
    EXPECT_EQ(link.RecvBuf().substr(link.RecvBuf().size() - 4), "TAIL");
}

// ---- Sending --------------------------------------------------------------------------------

TEST_F(TerminalLinkTest, SendDataWaitsForTheOutputToDrainIn10msSleeps) {
    port.drainPerPoll = 1;
    EXPECT_TRUE(link.SendData("DDD"));
    EXPECT_EQ(port.sent, "DDD");
    EXPECT_EQ(port.outputUsed, 0);
    ASSERT_EQ(time.sleeps.size(), 2u);  // 3 -> 2 -> 1 -> 0: two sleeps between three polls
    EXPECT_EQ(time.sleeps[0], 10);
    EXPECT_EQ(time.pumps, 0);  // no messages run while sending
}

TEST_F(TerminalLinkTest, SendDataOnClosedPortOrErrorReturnsFalse) {
    port.open = false;
    EXPECT_FALSE(link.SendData("x"));
    EXPECT_TRUE(port.sent.empty());
    port.open = true;
    port.failSend = true;
    EXPECT_FALSE(link.SendData("x"));
}

TEST_F(TerminalLinkTest, SendCmdSendsThePacketAndSucceedsOnAck) {
    link.RecvBuf() = "stale\x06";  // emptied before sending, so an old ACK does not count
    time.onPump = [this] {
        if (time.pumps == 2) Feed(B({0x06}));
    };
    EXPECT_EQ(link.SendCmd(0xD1, u"E"), 0);
    EXPECT_EQ(port.sent, B({0x02, 0xD1, 0x00, 0x01, 0x45, 0x97}));
    EXPECT_TRUE(link.RecvBuf().empty());
}

TEST_F(TerminalLinkTest, SendCmdFailsWithoutAckClosedPortOrTooMuchData) {
    std::uint64_t start = time.now;
    EXPECT_EQ(link.SendCmd(0xD1, u"E"), -1);
    EXPECT_GE(time.now - start, 1000u);
    port.open = false;
    port.sent.clear();
    EXPECT_EQ(link.SendCmd(0xD1, u"E"), -1);
    EXPECT_TRUE(port.sent.empty());
    port.open = true;
    EXPECT_EQ(link.SendCmd(0xD1, std::u16string(10000, u'x')), -1);
    EXPECT_TRUE(port.sent.empty());
}

// ---- Waiting --------------------------------------------------------------------------------

TEST_F(TerminalLinkTest, WaitDataFindsTheSecondAlternativeAndEmptiesTheBuffer) {
    time.onPump = [this] {
        if (time.pumps == 3) Feed("..ERR..");
    };
    EXPECT_EQ(link.WaitData("OK^ERR", 1000, '^'), 2);
    EXPECT_TRUE(link.RecvBuf().empty());
    EXPECT_EQ(time.pumps, 3);
}

TEST_F(TerminalLinkTest, WaitDataReplyAlreadyThereIsFoundWithZeroTimeout) {
    link.RecvBuf() = "xxOKyy";
    EXPECT_EQ(link.WaitData("OK", 0, '^'), 1);
    EXPECT_TRUE(time.sleeps.empty());
}

TEST_F(TerminalLinkTest, WaitDataTimeOutLeavesTheBufferAlone) {
    link.RecvBuf() = "noise";
    std::uint64_t start = time.now;
    EXPECT_EQ(link.WaitData(std::string(1, '\x06'), 1000, '^'), 0);
    EXPECT_GE(time.now - start, 1000u);
    EXPECT_LT(time.now - start, 1000u + 50);  // at most one poll later
    EXPECT_EQ(link.RecvBuf(), "noise");
    for (int ms : time.sleeps) EXPECT_EQ(ms, 50);
}

TEST_F(TerminalLinkTest, WaitDataIgnoresAlternativesAfterAnEmptyOne) {
    link.RecvBuf() = "B";
    EXPECT_EQ(link.WaitData("A^^B", 0, '^'), 0);
    EXPECT_EQ(link.WaitData("^B", 0, '^'), 0);
    EXPECT_EQ(link.WaitData("A^B", 0, '^'), 2);
}

TEST_F(TerminalLinkTest, WaitDataReturnsZeroWhenSomethingRaises) {
    time.onPump = [] { throw std::runtime_error("boom"); };
    EXPECT_EQ(link.WaitData("OK", 1000, '^'), 0);
}

TEST_F(TerminalLinkTest, AckInsideAReceivedPacketSatisfiesAWait) {
    time.onPump = [this] {
        if (time.pumps == 1) Feed(BuildPacket(0x06, "\x06"));
    };
    EXPECT_EQ(link.WaitData(std::string(1, '\x06'), 1000, '^'), 1);
}

}  // namespace
}  // namespace kavo
