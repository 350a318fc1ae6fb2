// The tool's side of the terminal's packet exchange on the serial line.
//
// TerminalFrameParser is the receive-side frame parser: it takes received bytes one at a time and
// says when a complete packet has arrived and whether its LRC was right. A packet begins with STX
// (0x02); outside a packet a 0x0F discards what was collected. The parser never resets itself: a
// packet that stops halfway is continued by the next bytes until its length is reached.
//
// TerminalLink holds the receive buffer (every byte received since it was last cleared, newest
// kept when it grows past its bound) and the parser, and implements the packet methods of the
// main window over a TerminalPort: SendData, SendCmd, WaitData and the receive handler.
//
// Thread safety: both belong to the user-interface thread. WaitData runs that thread's pending
// messages while it waits, so the receive handler (and anything else) can run inside a wait.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kavo {

class TerminalFrameParser {
public:
    enum class Reply { None, Ack, Nak };

    // Takes one received byte; Ack or Nak when it completed a packet (the parser is then outside
    // a packet again).
    Reply Feed(unsigned char byte);

    // 0 outside a packet, 1 while the header is collected, 2 while the rest is collected.
    int FrameState() const { return frameState_; }
    int FrameLen() const { return frameLen_; }
    const std::string& FrameBuf() const { return frameBuf_; }

    // Bytes kept from before a packet begins; they are never used, only bounded.
    static constexpr std::size_t kMaxIdleBytes = 256;

private:
    std::string frameBuf_;
    int frameState_ = 0;
    int frameLen_ = 0;
};

// The port operations the packet methods use (the serial port component provides them).
// Failures are exceptions.
class TerminalPort {
public:
    virtual ~TerminalPort() = default;
    virtual bool IsOpen() const = 0;
    virtual void SendString(const std::string& bytes) = 0;
    virtual int OutputUsed() = 0;
    virtual bool InputReady() = 0;
    virtual unsigned char ReadChar() = 0;
};

// Time and message pumping of the waits, replaceable for tests.
struct WaitServices {
    std::function<std::uint64_t()> nowMs;     // a monotonic millisecond clock
    std::function<void(int)> sleepMs;         // sleeps the calling thread
    std::function<void()> processMessages;    // runs the thread's pending messages
    static WaitServices Real();
};

class TerminalLink {
public:
    explicit TerminalLink(TerminalPort& port, WaitServices services = WaitServices::Real());

    // Queues all bytes and waits, in 10 ms sleeps and without running messages, until the
    // port's output is empty. False when the port is not open or raised an error.
    bool SendData(const std::string& data);
    // Sends the packet of `cmd` and `data` (UTF-16, converted to the byte encoding) and waits up
    // to 1000 ms for the ACK byte. 0 when the ACK came, -1 otherwise.
    int SendCmd(unsigned char cmd, const std::u16string& data);
    // Waits until one of the alternatives (joined by `separator`) occurs in the receive buffer
    // and returns its 1-based position (emptying the buffer), or 0 after timeoutMs or on error.
    int WaitData(const std::string& alternatives, int timeoutMs, char separator);
    // The receive handler: takes up to `count` waiting bytes and answers complete packets with
    // three ACK or three NAK bytes.
    void OnAvail(int count);

    std::string& RecvBuf() { return recvBuf_; }
    void ClearRecvBuf() { recvBuf_.clear(); }
    const TerminalFrameParser& Parser() const { return parser_; }

    // The receive buffer keeps at least this many of the newest bytes.
    static constexpr std::size_t kRecvKeep = 64 * 1024;

private:
    void AppendReceived(unsigned char byte);

    TerminalPort& port_;
    WaitServices services_;
    std::string recvBuf_;
    TerminalFrameParser parser_;
};

}  // namespace kavo
