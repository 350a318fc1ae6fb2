// Status reports of a running transfer as lines of text on the standard error (--progress).
//
// One line per status report of the protocol component: bytes sent of the file's size, the
// percentage, the measured rate and the time still needed. On a terminal each report overwrites
// the previous one (carriage return) and the last one ends the line; anywhere else (a pipe, a log
// file) every report that changes the figures is a line of its own, without control characters.
//
// Thread safety: a TProgressWriter belongs to one thread (the user-interface thread).
#pragma once

#include "transfer/status_figures.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kavo {

// The figures of one status report, as the protocol component gives them.
struct TProgressFigures {
    std::int64_t bytesTransferred = 0;
    std::int64_t fileLength = 0;
    std::int64_t initialOffset = 0;
    std::int64_t elapsedTicks = 0;   // 18.2 ticks a second
    std::int64_t lineDataRate = 0;   // bytes of the file per second the line carries; 0 unknown
    std::int64_t totalErrors = 0;    // blocks refused or unanswered so far
    std::string sha256;                       // of the image sent, in hex; empty until it is known
};

// What a report shows, worked out once from the figures; each output format only lays it out.
struct TProgressFields {
    std::int64_t bytesShown = 0;  // never past the file's length (the last block's padding)
    std::int64_t fileLength = 0;
    int percent = 0;
    std::int64_t bytesPerSecond = 0;
    std::int64_t remainingSecs = 0;
    std::string sha256;
};

// The part of a status report's figures that a progress line shows (without the hash).
TProgressFigures ProgressFiguresOf(const TStatusFigures& figures);

TProgressFields ProgressFields(const TProgressFigures& figures);

// Whole percent of the file sent (rounded down, 0..100; 0 for an empty file).
int ProgressPercent(std::int64_t bytesTransferred, std::int64_t fileLength);
// Bytes per second since the transfer clock started, and the seconds still needed for what is
// left: the status window's rules (MeasuredRate, RemainingSecs), so both show the same times.
std::int64_t ProgressRate(const TProgressFigures& figures);
std::int64_t ProgressRemainingSecs(const TProgressFigures& figures);
// "m:ss" (minutes grow as needed).
std::string MinutesText(std::int64_t seconds);

// "kavodown: 71680 of 300000 bytes (23%), 11245 B/s, 0:20 left", and once the image's hash is
// known ", sha256 <64 hex digits>" at the end.
std::string ProgressText(const TProgressFields& fields);
std::string ProgressLine(const TProgressFigures& figures);

class TProgressWriter {
public:
    using TSink = std::function<void(const std::string&)>;

    // Writes to `sink`; `terminal` selects carriage-return updates.
    TProgressWriter(TSink sink, bool terminal);
    // Writes to `stream`, with carriage-return updates when it is a terminal.
    explicit TProgressWriter(std::FILE* stream);

    bool Terminal() const { return terminal_; }

    // One report; `last` ends the line on a terminal.
    void Report(const TProgressFigures& figures, bool last);
    // Ends a line that a terminal report left open, so that other text starts on a line of its
    // own. Does nothing otherwise.
    void EndLine();

private:
    TSink sink_;
    bool terminal_ = false;
    bool lineOpen_ = false;
    std::size_t shownLength_ = 0;  // length of the line on screen, to blank what a shorter one leaves
    std::string lastLine_;         // the last line a pipe got, so that a repeat is left out
};

}  // namespace kavo
