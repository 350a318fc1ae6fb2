// The XMODEM transmitter driven in-process by an arbitrary receiver: every input byte pair is one
// event (received bytes, a timeout, the output ring draining or freeing, a carrier change, the
// ring filling, a cable cut). No sleeps, no device and no disk: a scripted line and the timer events
// stand in for the dispatcher, the image lives in memory, and the tick clock is a counter that
// moves a second at each reading, so that no wait of the engine lasts. Checks: no crash; after the input, a silent line or the operator's cancel ends the transfer;
// a finish is reported and every trigger is deleted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <memory>

#include "serial/ticks.h"
#include "transfer/firmware_image.h"
#include "unit/transfer/engine_harness.h"

namespace {

using namespace kavo;
using namespace kavo::test;

// Stops the run with the line of the failed check.
#define Check(ok) \
    do { \
        if (!(ok)) { \
            std::fprintf(stderr, "check failed: %s:%d: %s\n", __FILE__, __LINE__, #ok); \
            std::abort(); \
        } \
    } while (0)

std::uint32_t FastClock() {
    static std::uint32_t now = 0;
    return now += 1000;
}

// The firmware: an image in memory, handed to the engine by its file routine, so that no input
// costs a file, a directory search or a read.
std::shared_ptr<const TFirmwareImage>& CurrentImage() {
    static std::shared_ptr<const TFirmwareImage> image;
    return image;
}

void PrepareMemoryRead(ProtocolData& data) {
    data.ErrorCode = 0;
    if (data.FileOpen) return;
    data.Image = CurrentImage();
    data.FileLength = data.Image->Size();
    data.StatusProc(data, 0);
    data.FileOffset = 0;
    data.FileOpen = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // The first bytes pick the variant, the silence limit and the file size.
    const bool useCrc = data[0] & 1;
    const bool use1K = data[0] & 2;
    const bool useG = (data[0] & 0x0C) == 0x0C;
    // An unattended run's silence limit, in ticks: none, shorter than one reply wait, or a few.
    static const std::uint32_t silenceLimits[] = {0, 5, 182, 1000};
    const std::uint32_t silenceLimit = silenceLimits[(data[0] >> 4) & 3];
    const std::size_t fileSize = (data[1] | (data[2] << 8)) % 5000;
    static const bool clockSet = (SetClockSource(FastClock), true);
    (void)clockSet;
    CurrentImage() = std::make_shared<const TFirmwareImage>("image.bin", PatternBytes(fileSize, data[3]));
    data += 4;
    size -= 4;

    EngineHarness h;
    InitXmodem(*h.data, useCrc, use1K, useG);
    h.data->HandshakeRetry = 3;
    h.data->MaxBlockErrors = 3;
    h.data->SilenceLimit = silenceLimit;
    h.data->LiteralFile = "image.bin";
    h.data->PrepareReadProc = PrepareMemoryRead;
    h.Start("image.bin");

    bool done = false;
    std::size_t i = 0;
    while (i + 1 < size && !done && h.data->Started) {
        const std::uint8_t op = data[i];
        const std::uint8_t arg = data[i + 1];
        i += 2;
        h.line.sent.clear();  // what went out is not checked; its capacity is kept
        switch (op % 8) {
        case 0:
        case 1:
        case 2: {  // the receiver sends 1..4 bytes, mostly the protocol's own
            static const std::uint8_t common[] = {cAck, cNak, cCrcStart, cCan, cGStart, cAck, cNak, 0};
            const std::size_t n = (op >> 3) % 4 + 1;
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint8_t b = (arg & 0x80) ? arg : common[(arg + k) % 8];
                h.line.input.push_back(b);
            }
            done = h.Step(kTriggerAvail, static_cast<std::uint32_t>(n));
            break;
        }
        case 3: done = h.TimedOut(); break;
        case 4: h.line.outUsed = 0; done = h.Drained(); break;
        case 5: h.line.outUsed = 0; done = h.OutputFreed(); break;
        case 6:
            h.line.carrier = arg & 1;
            if (h.data->CarrierTrigger > 0) done = h.Step(kTriggerStatus, static_cast<std::uint32_t>(h.data->CarrierTrigger));
            break;
        case 7:
            if (arg == 0xFF) {
                h.line.gone = true;  // the cable is pulled
            } else {
                h.line.outUsed = std::min<std::uint32_t>(h.line.outSize, arg * 64u);
            }
            break;
        }
    }
    // Whatever the receiver did, a silent line (whose ring drains as it should) ends the transfer
    // by timeouts, or keeps repeating the last block or EOT, which the operator's cancel ends.
    h.line.outUsed = 0;
    h.line.input.clear();
    for (int guard = 0; guard < 12 && h.data->Started; ++guard) {
        h.line.sent.clear();
        h.OutputFreed();
        h.Drained();
        h.TimedOut();
    }
    if (h.data->Started) {
        h.Step(ProtocolCancelMsg, 0);
    }
    h.Pump();
    Check(!h.data->Started);
    Check(h.reports.finish.has_value());
    // A vanished device takes its dispatcher and triggers with it; otherwise each one is deleted.
    if (!h.line.gone) Check(h.line.triggers.empty());
    return 0;
}
