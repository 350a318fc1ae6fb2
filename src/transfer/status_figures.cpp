#include "transfer/status_figures.h"

#include "serial/ticks.h"
#include "transfer/protocol.h"

namespace kavo {

namespace {

// The tick clock runs 1675 ticks in 92 seconds (18.2 a second).
constexpr std::int64_t kTicksPer92Secs = 1675;

}  // namespace

std::int64_t LineDataRate(std::int64_t charsPerSecond, std::int64_t blockLength, std::int64_t overhead) {
    if (charsPerSecond <= 0 || blockLength <= 0 || overhead < 0) return 0;
    return charsPerSecond * blockLength / (blockLength + overhead);
}

std::int64_t MeasuredRate(std::int64_t sentBytes, std::int64_t elapsedTicks) {
    if (elapsedTicks <= 0 || sentBytes <= 0) return 0;
    return sentBytes * kTicksPer92Secs / (elapsedTicks * 92);
}

std::int64_t RemainingSecs(std::int64_t left, std::int64_t measuredRate, std::int64_t lineDataRate) {
    const std::int64_t rate = measuredRate > 0 ? measuredRate : lineDataRate;
    if (left <= 0 || rate <= 0) return 0;
    return (left + rate - 1) / rate;
}

TStatusFigures FiguresOf(const TApdCustomProtocol& protocol) {
    TStatusFigures f;
    f.protocolType = static_cast<int>(protocol.ProtocolType());
    f.blockCheck = static_cast<int>(protocol.BlockCheckMethod());
    f.fileName = protocol.FileName();
    f.fileLength = protocol.FileLength();
    f.blockLength = protocol.BlockLength();
    f.bytesTransferred = protocol.BytesTransferred();
    f.bytesRemaining = protocol.BytesRemaining();
    f.initialOffset = protocol.InitialOffset();
    f.blockErrors = protocol.BlockErrors();
    f.totalErrors = protocol.TotalErrors();
    f.elapsedTicks = protocol.ElapsedTicks();
    f.bytesPerSecond = MeasuredRate(f.bytesTransferred - f.initialOffset, f.elapsedTicks);
    f.lineDataRate = LineDataRate(protocol.BitRate() / 10, f.blockLength, protocol.Overhead());
    f.remainingSecs = RemainingSecs(f.bytesRemaining, f.bytesPerSecond, f.lineDataRate);
    f.estimatedSecs = TicksToSeconds(static_cast<std::int32_t>(f.elapsedTicks)) + f.remainingSecs;
    f.bitRate = protocol.BitRate();
    f.kermitWindows = protocol.KermitWindows();
    f.statusText = TApdCustomProtocol::StatusMessage(protocol.Status());
    return f;
}

}  // namespace kavo
