#include "app/progress_json.h"

#include "platform/json_text.h"

#include <cstdio>

namespace kavo {

std::string ProgressJson(const TProgressFigures& f) {
    const std::int64_t sent =
        f.fileLength > 0 && f.bytesTransferred > f.fileLength ? f.fileLength : f.bytesTransferred;
    return TJsonObject()
        .Add("event", "progress")
        .Add("sent", sent < 0 ? std::int64_t{0} : sent)
        .Add("size", f.fileLength)
        .Add("percent", ProgressPercent(f.bytesTransferred, f.fileLength))
        .Add("rate", ProgressRate(f))
        .Add("left", ProgressRemainingSecs(f))
        .Add("errors", f.totalErrors)
        .Text();
}

std::string ProgressEndJson(int exitCode, const std::string& outcomeLine, const std::string& sha256,
                            std::int64_t size, std::int64_t errors) {
    return TJsonObject()
        .Add("event", "end")
        .Add("code", exitCode)
        .Add("outcome", outcomeLine)
        .Add("sha256", sha256)
        .Add("size", size)
        .Add("errors", errors)
        .Text();
}

TProgressJsonWriter::TProgressJsonWriter(TSink sink) : sink_(std::move(sink)) {}

TProgressJsonWriter::TProgressJsonWriter(std::FILE* stream)
    : TProgressJsonWriter([stream](const std::string& text) {
          std::fwrite(text.data(), 1, text.size(), stream);
          std::fflush(stream);
      }) {}

void TProgressJsonWriter::Report(const TProgressFigures& figures) {
    if (ended_) return;
    const std::string line = ProgressJson(figures);
    if (line == lastLine_) return;
    lastLine_ = line;
    sink_(line + "\n");
}

void TProgressJsonWriter::End(int exitCode, const std::string& outcomeLine,
                              const std::string& sha256, std::int64_t size,
                              std::int64_t errors) {
    if (ended_) return;
    ended_ = true;
    sink_(ProgressEndJson(exitCode, outcomeLine, sha256, size, errors) + "\n");
}

}  // namespace kavo
