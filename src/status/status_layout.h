// Where everything stands in the transfer status window, shared by every toolkit's window.
//
// Positions are left, top (and width, height) in pixels within their container; the figure
// panels and their fields are named as in the designed window, so that tests and tools can find
// them by name.
#pragma once

#include "status/status_rules.h"

#include <cstddef>
#include <string>

namespace kavo {

constexpr int kStatusClientWidth = 468;
constexpr int kStatusClientHeight = 319;
// Where the window opens when its placement is the designed one.
constexpr int kStatusDesignedLeft = 363;
constexpr int kStatusDesignedTop = 182;
// The value fields of the four figure panels end 8 pixels inside the panel's right edge, where
// their placeholders end in the designed font; a longer text extends to the left.
constexpr int kStatusValueRightEdge = 209;
// The window's font: Arial, 12 pixels high.
constexpr int kStatusFontPixels = 12;

struct TStatusPanelLayout {
    const char* name;
    int left, top, width, height;
};

// psPanel1..psPanel6: four figure panels, the status line and the progress line.
inline constexpr TStatusPanelLayout kStatusPanels[] = {
    {"psPanel1", 8, 8, 217, 113},   {"psPanel2", 240, 8, 217, 113},
    {"psPanel3", 8, 128, 217, 65},  {"psPanel4", 240, 128, 217, 65},
    {"psPanel5", 8, 200, 449, 33},  {"psPanel6", 8, 240, 449, 33},
};

// One value field of the four figure panels: its caption label, its value label, where they
// stand, the text the value holds before the first update, and which status text it shows.
struct TStatusFieldLayout {
    int panel;  // 0..3: top left, top right, bottom left, bottom right
    const char* labelName;
    int top;
    const char* caption;
    const char* valueName;
    int valueLeft;
    const char* placeholder;
    std::string TStatusTexts::*text;
};

// clang-format off
inline constexpr TStatusFieldLayout kStatusFields[] = {
    {0, "psLabel1",   8, "Protocol:",          "psProtocol",          148, "NoProtocol",      &TStatusTexts::protocol},
    {0, "psLabel2",  24, "Block check:",       "psBlockCheck",        128, "NoBlockCheck",    &TStatusTexts::blockCheck},
    {0, "psLabel3",  40, "File name:",         "psFileName",          159, "NoName",          &TStatusTexts::fileName},
    {0, "psLabel4",  57, "File size:",         "psFileSize",          116, "999,999,999,999", &TStatusTexts::fileSize},
    {0, "psLabel5",  73, "Block size:",        "psBlockSize",         181, "1024",            &TStatusTexts::blockSize},
    {0, "psLabel6",  89, "Total Blocks:",      "psTotalBlocks",       116, "999,999,999,999", &TStatusTexts::totalBlocks},
    {1, "psLabel13",  8, "Bytes transferred:", "psBytesTransferred",  115, "999,999,999,999", &TStatusTexts::bytesTransferred},
    {1, "psLabel14", 24, "Bytes remaining:",   "psBytesRemaining",    115, "999,999,999,999", &TStatusTexts::bytesRemaining},
    {1, "psLabel15", 40, "Blocks transferred:", "psBlocksTransferred", 115, "999,999,999,999", &TStatusTexts::blocksTransferred},
    {1, "psLabel16", 56, "Blocks remaining:",  "psBlocksRemaining",   115, "999,999,999,999", &TStatusTexts::blocksRemaining},
    {1, "psLabel17", 72, "Block errors:",      "psBlockErrors",       163, "999,999",         &TStatusTexts::blockErrors},
    {1, "psLabel18", 88, "Total errors:",      "psTotalErrors",       163, "999,999",         &TStatusTexts::totalErrors},
    {2, "psLabel7",   8, "Estimated time:",    "psEstimatedTime",     163, "9999:99",         &TStatusTexts::estimatedTime},
    {2, "psLabel8",  25, "Elapsed time:",      "psElapsedTime",       163, "9999:99",         &TStatusTexts::elapsedTime},
    {2, "psLabel9",  41, "Remaining time:",    "psRemainingTime",     163, "9999:99",         &TStatusTexts::remainingTime},
    {3, "psLabel10",  8, "Throughput:",        "psThroughput",        145, "99999 CPS",       &TStatusTexts::throughput},
    {3, "psLabel11", 25, "Efficiency:",        "psEfficiency",        173, "100 %",           &TStatusTexts::efficiency},
    {3, "psLabel12", 41, "Kermit windows:",    "psKermitWindows",     177, "99/99",           &TStatusTexts::kermitWindows},
};
// clang-format on
constexpr std::size_t kStatusFieldCount = sizeof(kStatusFields) / sizeof(kStatusFields[0]);

// The status line in psPanel5 and the progress line in psPanel6.
struct TStatusLineLayout {
    const char* labelName;
    int labelLeft, labelTop;
    const char* caption;
};
inline constexpr TStatusLineLayout kStatusLabel{"psLabel22", 8, 9, "Status:"};
constexpr int kStatusMsgLeft = 56, kStatusMsgTop = 9;
inline constexpr TStatusLineLayout kProgressLabel{"psLabel19", 8, 9, "Progress:"};
constexpr int kMeterLeft = 64, kMeterTop = 7, kMeterWidth = 377, kMeterHeight = 20, kMeterStep = 10;
// The Cancel button, in the window.
constexpr int kCancelLeft = 189, kCancelTop = 285, kCancelWidth = 89, kCancelHeight = 27;

}  // namespace kavo
