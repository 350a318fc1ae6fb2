// The program's own options applied to the main window: --batch, --ddd, --progress, --trace,
// --log and --silence-limit.
//
// Without options nothing here touches the window. With --batch every early stop of the send
// sequence, every error that would go to the error display and the end of the transfer end the
// program at once, with the exit code of exit_codes.h and one line on the standard error.
//
// Thread safety: the user-interface thread, like the window.
#pragma once

#include "app/command_line.h"
#include "app/progress_report.h"

#include <QString>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace kavo {

class TFMain;

class TRunControl {
public:
    TRunControl(TFMain& window, TCommandLine commandLine);

    // Applies the options to the window before its automatic start. With --batch a start-up that
    // stopped early (no automatic start to come) ends the run; returns false then.
    bool Prepare();

    // Where errors that escape an event handler go with --batch (instead of a message box).
    void ShowError(const QString& text);

    // SIGTERM or SIGINT arrived: the exit button, or with --batch the end of the run with 128 +
    // the signal's number (unless the run has its outcome already).
    void Signal(int signalNumber);

    // One line on the standard error, after ending a progress line that a terminal shows.
    void Print(const std::string& line);

private:
    void ApplySilenceLimit(std::uint32_t seconds);
    void SendStopped(int stop, std::exception_ptr error);
    int TransferEnded(int errorCode);
    void StatusReport(int options);
    void End(int exitCode, const std::string& line);

    TFMain& window_;
    TCommandLine commandLine_;
    std::unique_ptr<TProgressWriter> progress_;
    bool ended_ = false;  // the run has its outcome; later errors only add their line
};

}  // namespace kavo
