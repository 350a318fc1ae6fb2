// The figures of a running transfer, read from the protocol component once per status report.
// The status window and the command line's progress reports both show them, so they are
// gathered in this one place.
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
    std::int64_t estimatedSecs = 0;  // estimate for the whole file
    std::int64_t remainingSecs = 0;  // estimate for the bytes remaining
    std::int64_t elapsedTicks = 0;
    std::int64_t bitRate = 0;        // characters per second times 10
    std::int64_t kermitWindows = 0;
    std::string statusText;
};

TStatusFigures FiguresOf(const TApdCustomProtocol& protocol);

}  // namespace kavo
