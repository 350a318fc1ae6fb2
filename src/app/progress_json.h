// Status reports of a running transfer as JSON lines on the standard output (--progress json),
// for a program that follows the run (the production station's slots read it).
//
// One object per status report that changes the figures:
//   {"event":"progress","sent":71680,"size":300000,"percent":23,"rate":11245,"left":20,"errors":0}
// (bytes sent, never past the file's size; whole per cent; bytes per second; seconds left; blocks
// the terminal refused or did not answer so far), and
// one last object when the run has its outcome:
//   {"event":"end","code":0,"outcome":"","sha256":"<hex>","size":300000,"errors":0}
// with the exit code the run ends with, its line of the standard error ("" for a success), and
// the SHA-256 and size of the firmware file as the run read it ("" and -1 when it could not be
// read), and the count of block errors of the whole transfer. Nothing follows the end object.
//
// Thread safety: a TProgressJsonWriter belongs to one thread (the user-interface thread).
#pragma once

#include "app/progress_report.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kavo {

// The progress object of `figures`, without a newline.
std::string ProgressJson(const TProgressFigures& figures);

// The end object, without a newline.
std::string ProgressEndJson(int exitCode, const std::string& outcomeLine, const std::string& sha256,
                            std::int64_t size, std::int64_t errors);

class TProgressJsonWriter {
public:
    using TSink = std::function<void(const std::string&)>;

    explicit TProgressJsonWriter(TSink sink);
    // Writes to `stream`, flushing each line.
    explicit TProgressJsonWriter(std::FILE* stream);

    // One report; a repeat of the last figures writes nothing; nothing after End.
    void Report(const TProgressFigures& figures);
    // The end object; only the first call writes.
    void End(int exitCode, const std::string& outcomeLine, const std::string& sha256,
             std::int64_t size, std::int64_t errors);

private:
    TSink sink_;
    std::string lastLine_;
    bool ended_ = false;
};

}  // namespace kavo
