// The figures of a running transfer, read from the protocol component once per status report.
// The status window, the command line's progress reports and through them the station's tiles
// all show them, so they are gathered, and the times worked out, in this one place.
//
// Thread safety: FiguresOf reads the component's properties; call it where the component may be
// used (the user-interface thread).
#pragma once

#include <cstdint>
#include <string>

namespace kavo {

class TApdCustomProtocol;

// A snapshot of what the protocol component reports, taken once per status report.
struct TStatusFigures {
    int protocolType = 0;            // TProtocolType as a number
    int blockCheck = 0;              // TBlockCheckMethod as a number
    std::string fileName;            // the protocol's file name, with or without folder
    std::int64_t fileLength = 0;
    std::int64_t blockLength = 0;    // the current block's size during a transfer, else the set one
    std::int64_t bytesTransferred = 0;
    std::int64_t bytesRemaining = 0;
    std::int64_t initialOffset = 0;
    std::int64_t blockErrors = 0;
    std::int64_t totalErrors = 0;
    std::int64_t elapsedTicks = 0;
    std::int64_t bytesPerSecond = 0;  // measured since the transfer clock started
    std::int64_t lineDataRate = 0;    // what the line carries of the file's data (LineDataRate)
    std::int64_t remainingSecs = 0;   // RemainingSecs of the bytes remaining
    std::int64_t estimatedSecs = 0;   // the whole transfer: elapsed (whole seconds) + remaining
    std::int64_t bitRate = 0;        // characters per second times 10
    std::int64_t kermitWindows = 0;
    std::string statusText;
};

TStatusFigures FiguresOf(const TApdCustomProtocol& protocol);

// Bytes of the file per second the line carries: its characters per second less the protocol
// bytes of each block. The line has no turnaround of its own: the reply to a block is a single
// byte, so the protocol's per-block turn delay is not counted. 0 when a figure is unknown.
std::int64_t LineDataRate(std::int64_t charsPerSecond, std::int64_t blockLength, std::int64_t overhead);
// Bytes per second since the transfer clock started (18.2 ticks a second); 0 until bytes have
// been acknowledged and a tick has passed.
std::int64_t MeasuredRate(std::int64_t sentBytes, std::int64_t elapsedTicks);
// Seconds still needed for `left` bytes: at the measured rate once there is one, before that at
// the line's data rate. A started second counts; 0 when nothing is left or no rate is known.
std::int64_t RemainingSecs(std::int64_t left, std::int64_t measuredRate, std::int64_t lineDataRate);

}  // namespace kavo
