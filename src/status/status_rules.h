// The figures of a running transfer and the texts the status window shows for them.
//
// Everything here is plain arithmetic and formatting, free of any toolkit, so that the window's
// field rules can be checked on their own: the window takes the TStatusFigures of its protocol
// component (transfer/status_figures.h) and shows the TStatusTexts that StatusTexts makes of them.
#pragma once

#include "transfer/status_figures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavo {

// The text of every value field of the status window.
struct TStatusTexts {
    std::string protocol;
    std::string blockCheck;
    std::string fileName;
    std::string fileSize;
    std::string blockSize;
    std::string totalBlocks;
    std::string bytesTransferred;
    std::string bytesRemaining;
    std::string blocksTransferred;
    std::string blocksRemaining;
    std::string blockErrors;
    std::string totalErrors;
    std::string estimatedTime;
    std::string elapsedTime;
    std::string remainingTime;
    std::string throughput;
    std::string efficiency;
    std::string kermitWindows;
    std::string statusMsg;
    int meterPosition = 0;  // percent, for a meter that runs from 0 to 100
};

TStatusTexts StatusTexts(const TStatusFigures& figures);

// Name of a protocol type; "None" for 0 and for any unknown value.
std::string ProtocolName(int protocolType);
// Name of a block-check method (its low 7 bits count); "No check" for none or unknown.
std::string BlockCheckName(int blockCheck);

// The file-name part of a path (after the last '/' or '\'); longer than 18 characters, its first 18
// followed by "...". Characters are counted as UTF-8 code points, so a cut never splits one.
std::string ShortFileName(const std::string& path);

// Minutes, ":", seconds as two digits, right-aligned in six characters ("  2:05"); a longer text
// is kept whole ("100:00"). A negative count shows as 0.
std::string TimeText(std::int64_t seconds);

// Block arithmetic; all give 0 when the block length is not positive.
std::int64_t TotalBlocks(std::int64_t fileLength, std::int64_t blockLength);
std::int64_t BlocksTransferred(std::int64_t bytesTransferred, std::int64_t blockLength);
std::int64_t BlocksRemaining(std::int64_t bytesRemaining, std::int64_t blockLength);

// Characters per second since the transfer clock started (18.2 ticks a second); 0 while no tick
// has passed.
double Throughput(std::int64_t bytesTransferred, std::int64_t initialOffset,
                  std::int64_t elapsedTicks);
// "%5.0f CPS" of a throughput.
std::string ThroughputText(double throughput);
// Throughput as a percentage of the line's characters per second (bitRate / 10), "%3.0f" and
// "%"; 0 when the line speed is not known.
std::string EfficiencyText(double throughput, std::int64_t bitRate);

// Percentage of the file transferred, rounded with halves to the even neighbour; 0 for an empty
// file.
int MeterPercent(std::int64_t bytesTransferred, std::int64_t fileLength);

// What a meter of the given width draws for a position: whole blocks, and whether a partial block
// of `rest` pixels follows them.
struct TMeterBlocks {
    int blocks = 0;
    bool partial = false;
    int rest = 0;
    bool operator==(const TMeterBlocks&) const = default;
};
// A meter without a range (max <= min), without a step (step <= 0) or too narrow for a block
// draws nothing.
TMeterBlocks MeterBlocks(int width, int min, int max, int position, int step);

// The solid rectangles of a meter of the given height that draws `drawn`: block k spans x from
// k * step + 2 up to (k + 1) * step, and y from 2 up to height - 2; a partial block starts one step
// right of the last whole block's left edge (at `step` when there is none). Nothing for a meter
// too low for a bar or without a step.
struct TMeterRect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const TMeterRect&) const = default;
};
std::vector<TMeterRect> MeterBarRects(int height, int step, const TMeterBlocks& drawn);

}  // namespace kavo
