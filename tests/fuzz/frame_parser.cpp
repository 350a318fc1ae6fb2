// The receive-side packet parser and the receive handler of the terminal link, fed arbitrary
// byte streams. Checks: no crash, memory stays bounded, a completed packet leaves the parser idle
// with an empty buffer, and the handler answers each completed packet with three ACK or NAK bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/terminal_link.h"
#include "app/uutil.h"

namespace {

class FuzzPort : public kavo::TerminalPort {
public:
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::string sent;
    bool IsOpen() const override { return true; }
    void SendString(const std::string& bytes) override { sent += bytes; }
    int OutputUsed() override { return 0; }
    bool InputReady() override { return pos < size; }
    unsigned char ReadChar() override { return data[pos++]; }
};

// Stops the run with the line of the failed check.
#define Check(ok) \
    do { \
        if (!(ok)) { \
            std::fprintf(stderr, "check failed: %s:%d: %s\n", __FILE__, __LINE__, #ok); \
            std::abort(); \
        } \
    } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Reply = kavo::TerminalFrameParser::Reply;
    kavo::TerminalFrameParser parser;
    std::size_t replies = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const Reply r = parser.Feed(data[i]);
        if (r != Reply::None) {
            ++replies;
            Check(parser.FrameState() == 0 && parser.FrameBuf().empty());
        }
        // Idle noise is bounded; a packet is never longer than its header allows.
        if (parser.FrameState() == 0) Check(parser.FrameBuf().size() <= kavo::TerminalFrameParser::kMaxIdleBytes + 1);
        if (parser.FrameState() == 2) Check(parser.FrameBuf().size() <= static_cast<std::size_t>(parser.FrameLen()) + 5);
    }

    // The same bytes through the link's receive handler, in uneven chunks.
    FuzzPort port;
    port.data = data;
    port.size = size;
    kavo::TerminalLink link(port);
    std::size_t chunk = 1;
    while (port.pos < size) {
        link.OnAvail(static_cast<int>(chunk));
        chunk = chunk % 7 + 1;
    }
    Check(port.sent.size() == 3 * replies);
    for (char c : port.sent) {
        const auto b = static_cast<unsigned char>(c);
        Check(b == kavo::kACK || b == kavo::kNAK);
    }
    Check(link.RecvBuf().size() <= 2 * kavo::TerminalLink::kRecvKeep);
    return 0;
}
