#include "app/progress_report.h"

#include <unistd.h>

namespace kavo {

TProgressFigures ProgressFiguresOf(const TStatusFigures& status) {
    TProgressFigures figures;
    figures.bytesTransferred = status.bytesTransferred;
    figures.fileLength = status.fileLength;
    figures.initialOffset = status.initialOffset;
    figures.elapsedTicks = status.elapsedTicks;
    figures.lineDataRate = status.lineDataRate;
    figures.totalErrors = status.totalErrors;
    return figures;
}

int ProgressPercent(std::int64_t bytesTransferred, std::int64_t fileLength) {
    if (fileLength <= 0 || bytesTransferred <= 0) return 0;
    if (bytesTransferred >= fileLength) return 100;
    return static_cast<int>(bytesTransferred * 100 / fileLength);
}

std::int64_t ProgressRate(const TProgressFigures& f) {
    return MeasuredRate(f.bytesTransferred - f.initialOffset, f.elapsedTicks);
}

std::int64_t ProgressRemainingSecs(const TProgressFigures& f) {
    return RemainingSecs(f.fileLength - f.bytesTransferred, ProgressRate(f), f.lineDataRate);
}

std::string MinutesText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t rest = seconds % 60;
    return std::to_string(seconds / 60) + (rest < 10 ? ":0" : ":") + std::to_string(rest);
}

TProgressFields ProgressFields(const TProgressFigures& f) {
    TProgressFields fields;
    fields.bytesShown =
        f.fileLength > 0 && f.bytesTransferred > f.fileLength ? f.fileLength : f.bytesTransferred;
    fields.fileLength = f.fileLength;
    fields.percent = ProgressPercent(f.bytesTransferred, f.fileLength);
    fields.bytesPerSecond = ProgressRate(f);
    fields.remainingSecs = ProgressRemainingSecs(f);
    fields.sha256 = f.sha256;
    return fields;
}

std::string ProgressText(const TProgressFields& fields) {
    std::string text = "kavodown: " + std::to_string(fields.bytesShown) + " of " +
                       std::to_string(fields.fileLength) + " bytes (" +
                       std::to_string(fields.percent) + "%), " +
                       std::to_string(fields.bytesPerSecond) + " B/s, " +
                       MinutesText(fields.remainingSecs) + " left";
    if (!fields.sha256.empty()) text += ", sha256 " + fields.sha256;
    return text;
}

std::string ProgressLine(const TProgressFigures& figures) {
    return ProgressText(ProgressFields(figures));
}

TProgressWriter::TProgressWriter(TSink sink, bool terminal)
    : sink_(std::move(sink)), terminal_(terminal) {}

TProgressWriter::TProgressWriter(std::FILE* stream)
    : TProgressWriter(
          [stream](const std::string& text) {
              std::fwrite(text.data(), 1, text.size(), stream);
              std::fflush(stream);
          },
          ::isatty(fileno(stream)) == 1) {}

void TProgressWriter::Report(const TProgressFigures& figures, bool last) {
    const std::string line = ProgressLine(figures);
    if (!terminal_) {
        // The handshake and the end repeat the same figures; a log gets each state once.
        if (line == lastLine_) return;
        lastLine_ = line;
        sink_(line + "\n");
        return;
    }
    std::string text = "\r" + line;
    if (line.size() < shownLength_) text.append(shownLength_ - line.size(), ' ');
    shownLength_ = line.size();
    lineOpen_ = true;
    sink_(text);
    if (last) EndLine();
}

void TProgressWriter::EndLine() {
    if (!lineOpen_) return;
    lineOpen_ = false;
    shownLength_ = 0;
    sink_("\n");
}

}  // namespace kavo
