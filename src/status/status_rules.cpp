#include "status/status_rules.h"

#include "serial/ticks.h"

#include <array>
#include <cstdio>

namespace kavo {

namespace {

constexpr double kTicksPerSecond = 18.2;
constexpr std::size_t kFileNameChars = 18;

std::string Decimal(std::int64_t value) { return std::to_string(value); }

std::string Format(const char* format, double value) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, value);
    return buffer.data();
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string ProtocolName(int protocolType) {
    static constexpr std::array<const char*, 10> kNames{
        "None",   "Xmodem",  "XmodemCRC", "Xmodem1K", "Xmodem1KG",
        "Ymodem", "YmodemG", "Zmodem",    "Kermit",   "Ascii"};
    if (protocolType < 0 || protocolType >= static_cast<int>(kNames.size())) return "None";
    return kNames[static_cast<std::size_t>(protocolType)];
}

std::string BlockCheckName(int blockCheck) {
    switch (blockCheck & 0x7F) {
        case 1: return "Checksum";
        case 2: return "Checksum2";
        case 3: return "Crc16";
        case 4: return "Crc32";
        case 5: return "CrcKermit";
        default: return "No check";
    }
}

std::string ShortFileName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Find where the 19th character starts; a name of 18 characters or fewer stays whole.
    std::size_t chars = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (IsContinuationByte(name[i])) continue;
        if (chars == kFileNameChars) return name.substr(0, i) + "...";
        ++chars;
    }
    return name;
}

std::string TimeText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t minutes = seconds / 60;
    const std::int64_t rest = seconds % 60;
    std::string text = Decimal(minutes) + ":" + (rest < 10 ? "0" : "") + Decimal(rest);
    if (text.size() < 6) text.insert(0, 6 - text.size(), ' ');
    return text;
}

std::int64_t TotalBlocks(std::int64_t fileLength, std::int64_t blockLength) {
    return blockLength > 0 ? fileLength / blockLength : 0;
}

std::int64_t BlocksTransferred(std::int64_t bytesTransferred, std::int64_t blockLength) {
    return blockLength > 0 ? bytesTransferred / blockLength : 0;
}

std::int64_t BlocksRemaining(std::int64_t bytesRemaining, std::int64_t blockLength) {
    return blockLength > 0 ? (bytesRemaining + blockLength - 1) / blockLength : 0;
}

double Throughput(std::int64_t bytesTransferred, std::int64_t initialOffset,
                  std::int64_t elapsedTicks) {
    if (elapsedTicks <= 0) return 0.0;
    return static_cast<double>(bytesTransferred - initialOffset) /
           (static_cast<double>(elapsedTicks) / kTicksPerSecond);
}

std::string ThroughputText(double throughput) { return Format("%5.0f CPS", throughput); }

std::string EfficiencyText(double throughput, std::int64_t bitRate) {
    const std::int64_t charsPerSecond = bitRate / 10;
    const double efficiency =
        charsPerSecond != 0 ? throughput / static_cast<double>(charsPerSecond) * 100.0 : 0.0;
    return Format("%3.0f", efficiency) + "%";
}

int MeterPercent(std::int64_t bytesTransferred, std::int64_t fileLength) {
    if (fileLength <= 0) return 0;
    // Exact integer rounding: a float quotient cannot tell a true half from one a hair away. The
    // hundredfold of a size may pass the 64-bit range, so the arithmetic is 128-bit wide.
    using Wide = __int128;
    const Wide scaled = static_cast<Wide>(bytesTransferred) * 100;
    Wide quotient = scaled / fileLength;
    const Wide twiceRest = (scaled % fileLength) * 2;
    if (twiceRest > fileLength || (twiceRest == fileLength && quotient % 2 != 0)) ++quotient;
    if (twiceRest < -fileLength || (twiceRest == -fileLength && quotient % 2 != 0)) --quotient;
    return static_cast<int>(quotient);
}

TMeterBlocks MeterBlocks(int width, int min, int max, int position, int step) {
    TMeterBlocks result;
    if (max <= min || step <= 0 || width < 4) return result;
    if (position > min) {
        const long long span = (width - 3) / step;
        result.blocks = static_cast<int>(span * (static_cast<long long>(position) - min) /
                                         (static_cast<long long>(max) - min) + 1);
    }
    if (static_cast<long long>(result.blocks) * step > width - 4) {
        result.partial = true;
        result.blocks = (width - 4) / step;
        result.rest = (width - 4) % step;
    }
    return result;
}

std::vector<TMeterRect> MeterBarRects(int height, int step, const TMeterBlocks& drawn) {
    std::vector<TMeterRect> rects;
    if (height <= 4 || step <= 0) return rects;
    for (int k = 0; k < drawn.blocks; ++k) rects.push_back({k * step + 2, 2, step - 2, height - 4});
    if (drawn.partial && drawn.rest > 0) {
        const int left = drawn.blocks > 0 ? (drawn.blocks - 1) * step + 2 + step : step;
        rects.push_back({left, 2, drawn.rest, height - 4});
    }
    return rects;
}

TStatusTexts StatusTexts(const TStatusFigures& f) {
    TStatusTexts t;
    t.protocol = ProtocolName(f.protocolType);
    t.blockCheck = BlockCheckName(f.blockCheck);
    t.fileName = ShortFileName(f.fileName);
    t.fileSize = Decimal(f.fileLength);
    t.blockSize = Decimal(f.blockLength);
    t.totalBlocks = Decimal(TotalBlocks(f.fileLength, f.blockLength));
    t.bytesTransferred = Decimal(f.bytesTransferred);
    t.bytesRemaining = Decimal(f.bytesRemaining);
    t.blocksTransferred = Decimal(BlocksTransferred(f.bytesTransferred, f.blockLength));
    t.blocksRemaining = Decimal(BlocksRemaining(f.bytesRemaining, f.blockLength));
    t.blockErrors = Decimal(f.blockErrors);
    t.totalErrors = Decimal(f.totalErrors);
    t.estimatedTime = TimeText(f.estimatedSecs);
    t.elapsedTime = TimeText(TicksToSeconds(static_cast<std::int32_t>(f.elapsedTicks)));
    t.remainingTime = TimeText(f.remainingSecs);
    const double throughput = Throughput(f.bytesTransferred, f.initialOffset, f.elapsedTicks);
    t.throughput = ThroughputText(throughput);
    t.efficiency = EfficiencyText(throughput, f.bitRate);
    t.kermitWindows = Decimal(f.kermitWindows);
    t.statusMsg = f.statusText;
    t.meterPosition = MeterPercent(f.bytesTransferred, f.fileLength);
    return t;
}

}  // namespace kavo
