#include "app/run_control.h"

#include "app/batch_outcome.h"
#include "app/download_sequence.h"
#include "app/uutil.h"
#include "platform/exit_codes.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/steady_clock.h"
#include "serial/usb_location.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "transfer/firmware_image.h"
#include "transfer/protocol.h"
#include "transfer/status_figures.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kavo {
namespace {

// Enough for the bytes of a large firmware image both ways, and its dispatch log.
constexpr std::uint32_t kTraceEntries = 4000000;
constexpr std::uint32_t kLogBytes = 4000000;

// The SHA-256 of what was sent, in hex; empty without an image.
std::string ImageSha256(const TFirmwareImage* image) {
    return image ? Sha256Hex(image->Bytes()) : std::string();
}

}  // namespace

TRunControl::TRunControl(TDownloadSequence& sequence, TCommandLine commandLine)
    : sequence_(sequence), commandLine_(std::move(commandLine)) {}

bool TRunControl::Prepare() {
    if (commandLine_.ddd) sequence_.SetDddStart(true);

    if (!commandLine_.traceDir.empty()) {
        sequence_.Tevo->SetTraceName(commandLine_.traceDir + "/TEVO.TRC");
        sequence_.Tevo->SetTraceSize(kTraceEntries);
        sequence_.Tevo->SetTracing(tlOn);
    }
    if (!commandLine_.logDir.empty()) {
        sequence_.Tevo->SetLogName(commandLine_.logDir + "/TEVO.LOG");
        sequence_.Tevo->SetLogSize(kLogBytes);
        sequence_.Tevo->SetLogging(tlOn);
    }

    ApplySilenceLimit(commandLine_.SilenceLimitSeconds());

    if (commandLine_.progress) {
        if (commandLine_.progressJson) progressJson_ = std::make_unique<TProgressJsonWriter>(stdout);
        else progress_ = std::make_unique<TProgressWriter>(stderr);
        sequence_.SetStatusHook([this](int options) { StatusReport(options); });
    }

    if (!commandLine_.batch) return true;

    sequence_.SetErrorDisplay([this](const std::string& text) { ShowError(text); });
    sequence_.SetSendStopHook(
        [this](TSendStop stop, std::exception_ptr error) { SendStopped(stop, error); });
    sequence_.SetTransferEndHook([this](int errorCode) { return TransferEnded(errorCode); });
    sequence_.SetFileCheckHook(
        [this](const std::string& path, std::int64_t size) { return FileUsable(path, size); });

    if (sequence_.UsbModeOn() && !WatchUsbMode(commandLine_.SilenceLimitSeconds())) {
        return false;
    }

    if (!sequence_.AutoStartPending()) {
        const std::string reason = sequence_.StartupError().empty()
                                       ? std::string("the transfer would not start by itself")
                                       : sequence_.StartupError();
        End(kExitOtherError, "kavodown: start-up failed: " + reason);
        return false;
    }
    return true;
}

void TRunControl::ApplySilenceLimit(std::uint32_t seconds) {
    if (seconds == 0) return;  // the protocol's own waits, without a limit
    const std::uint32_t ticks =
        static_cast<std::uint32_t>(SecondsToTicks(static_cast<std::int32_t>(seconds)));
    TApdProtocol& protocol = *sequence_.ApdProtocol;
    protocol.SetSilenceLimit(ticks);
    // The first wait for the EOT's reply (and for room in a stalled output buffer) is one long
    // wait of its own; a shorter limit shortens it, so that the limit holds there too.
    if (ticks < protocol.TransmitTimeout()) protocol.SetTransmitTimeout(ticks);
    // A terminal that never asks for the file is as silent as one that stops answering: the
    // handshake's attempts together wait no longer than the limit. The number of attempts stays,
    // so a few stray bytes on the line do not end the handshake early.
    const std::uint32_t attempts = std::max<std::uint32_t>(1, protocol.HandshakeRetry());
    const std::uint32_t perAttempt = std::max<std::uint32_t>(1, (ticks + attempts - 1) / attempts);
    if (perAttempt < protocol.HandshakeWait()) protocol.SetHandshakeWait(perAttempt);
}

bool TRunControl::WatchUsbMode(std::uint32_t seconds) {
    if (commandLine_.sameUsbDevice && !TakeOwnVolumesOnly()) return false;
    // Without a window that hears of volumes, the mode watches them itself.
    sequence_.UsbMode->StartWatcher();
    TUsbModeObserver observer;
    observer.copied = [this](const std::string& target, bool ok) { UsbCopied(target, ok); };
    observer.told = [this](bool acknowledged) {
        usbTold_ = true;
        usbAcknowledged_ = acknowledged;
    };
    observer.removed = [this](const std::string& rootFolder, int exitCode) {
        return UsbRemoved(rootFolder, exitCode);
    };
    sequence_.UsbMode->SetObserver(std::move(observer));
    if (seconds == 0) return true;  // wait as long as it takes
    usbWaitSeconds_ = seconds;
    usbWait_ = std::make_unique<TTimer>([this] { UsbWaitOver(); });
    usbWait_->SetSingleShot(true);
    usbWait_->SetInterval(seconds * 1000);
    usbWait_->SetEnabled(true);
    return true;
}

void TRunControl::UsbCopied(const std::string& target, bool ok) {
    if (ended_) return;
    if (!ok) {
        End(kExitOtherError, "kavodown: the firmware could not be copied to " + target +
                                 " (is the volume full or read-only?)");
        return;
    }
    // The terminal is told next; from now on the run waits for its volume to go away, which it
    // does when it restarts with the new firmware.
    usbTarget_ = target;
    if (usbWait_) usbWait_->SetEnabled(true);
}

int TRunControl::UsbRemoved(const std::string& rootFolder, int exitCode) {
    if (ended_) return sequence_.ExitCode();
    ended_ = true;
    if (usbWait_) usbWait_->SetEnabled(false);
    const std::string volume = rootFolder.empty() ? std::string("a volume") : rootFolder;
    if (usbTarget_.empty()) {
        const std::string line =
            "kavodown: " + volume + " went away before the firmware was copied to a terminal";
        PrintOutcome(line);
        EndJson(kExitOtherError, line);
        return kExitOtherError;
    }
    // The ACK may be in the received bytes already, not yet looked at, when the volume's removal
    // is handled inside the wait for it.
    const bool acknowledged =
        usbAcknowledged_ || sequence_.Link().RecvBuf().find(static_cast<char>(kACK)) != std::string::npos;
    if (commandLine_.sameUsbDevice && !acknowledged) {
        const std::string line = "kavodown: the terminal on COM" +
                                 std::to_string(sequence_.TevoComNumber()) +
                                 " did not acknowledge the firmware copied to " + usbTarget_ +
                                 " before " + volume + " went away";
        PrintOutcome(line);
        EndJson(kExitNoAnswer, line);
        return kExitNoAnswer;
    }
    PrintOutcome("kavodown: firmware copied to " + usbTarget_ + "; " + volume + " went away");
    EndJson(exitCode, "");
    return exitCode;
}

void TRunControl::UsbWaitOver() {
    if (ended_) return;
    const std::string limit = std::to_string(usbWaitSeconds_) + " s";
    if (usbTarget_.empty()) {
        End(kExitNoVolume, "kavodown: no terminal volume (FAT with a Down folder) appeared within " +
                               limit + "; check the terminal's USB cable and that it is in "
                               "download mode");
    } else if (!usbAcknowledged_) {
        End(kExitNoAnswer, "kavodown: the terminal on COM" +
                               std::to_string(sequence_.TevoComNumber()) +
                               " did not acknowledge the firmware copied to " + usbTarget_ +
                               " and kept its volume for " + limit);
    } else {
        End(kExitOtherError, "kavodown: the terminal kept its volume for " + limit +
                                 " after taking the firmware copied to " + usbTarget_);
    }
}

void TRunControl::Print(const std::string& line) {
    if (progress_) progress_->EndLine();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void TRunControl::End(int exitCode, const std::string& line) {
    // The first outcome stands and is the one line. A stop noticed after it (the send sequence
    // finding its wait for "DDD" cut short by a signal's end of the run) adds nothing.
    if (ended_) return;
    PrintOutcome(line);
    EndJson(exitCode, line);
    ended_ = true;
    sequence_.EndRun(exitCode);
}

void TRunControl::PrintOutcome(const std::string& line) {
    // The window saves the settings when it goes, after the outcome; a save that fails then says
    // so on a line of its own, and a script reading the last line would read that instead of the
    // outcome. Saving first puts that line before the outcome (the window's own save is then a
    // no-op).
    try {
        sequence_.FormDestroy();
    } catch (const std::exception& e) {
        Print(std::string("kavodown: the settings could not be saved: ") + e.what());
    }
    if (!line.empty()) Print(line);
}

void TRunControl::ShowError(const std::string& text) {
    // With the outcome known (the window is closing), the error only adds its line, unless the
    // outcome is that error already (a port's failure that ended the transfer first).
    if (ended_) {
        if ("kavodown: error: " + text != portFailureLine_) Print("kavodown: " + text);
        return;
    }
    End(kExitOtherError, "kavodown: error: " + text);
}

bool TRunControl::FileUsable(const std::string& path, std::int64_t size) {
    // A file that cannot be sent as it is (empty, unreadable for this user, too large) ends the
    // run before the port opens, so no terminal is woken for it. (An operator's window sends an
    // empty file as the end of file alone.)
    if (size == 0) {
        End(kExitFileMissing, "kavodown: file missing: " + path + " is empty");
        return false;
    }
    if (const int error = TFileReader(path).Error(); error != 0) {
        End(kExitFileMissing,
            "kavodown: file missing: " + path + " cannot be read: " + std::strerror(error));
        return false;
    }
    if (size > kMaxImageSize) {
        End(kExitFileMissing, "kavodown: file missing: " + path + " has " + std::to_string(size) +
                                  " bytes; firmware files above " + ImageLimitText() +
                                  " are refused");
        return false;
    }
    return true;
}

void TRunControl::SendStopped(int stop, std::exception_ptr error) {
    const int port = sequence_.TevoComNumber();
    TBatchStop result;
    switch (stop) {
    case ssFileMissing: result = FileMissingStop(sequence_.FileName()); break;
    case ssPortFailed: result = PortOpenStop(error, port); break;
    case ssNoAnswer: result = NoAnswerStop(port); break;
    default: result = {kExitOtherError, "kavodown: the send sequence stopped"}; break;
    }
    End(result.exitCode, result.line);
}

int TRunControl::TransferEnded(int errorCode) {
    // A transfer that ended because its port failed ends the run as that failure does.
    const std::string failure = errorCode != 0 ? sequence_.Tevo->WorkerFailure() : std::string();
    TBatchStop result;
    if (failure.empty()) {
        result = TransferEndStop(errorCode, sequence_.TevoComNumber());
    } else {
        result = PortFailureStop(failure);
        portFailureLine_ = result.line;
    }
    // The window closes the port and itself right after this.
    PrintOutcome(result.line);
    EndJson(result.exitCode, result.line);
    ended_ = true;
    return result.exitCode;
}

void TRunControl::StatusReport(int options) {
    // Once the outcome is printed it stays the last line; reports that come after it (the engine's
    // last one follows its error event) add nothing.
    if (ended_) return;
    const TApdProtocol& protocol = *sequence_.ApdProtocol;
    TProgressFigures figures = ProgressFiguresOf(FiguresOf(protocol));
    // Until the engine has opened the file its length reads 0; the file on disk tells it.
    if (figures.fileLength == 0) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(sequence_.FileName(), error);
        if (!error) figures.fileLength = static_cast<std::int64_t>(size);
    }
    const bool last = (options & StatusOptionLast) != 0;
    if (last) figures.sha256 = ImageSha256(protocol.SentImage().get());
    if (progressJson_) progressJson_->Report(figures);
    else progress_->Report(figures, last);
}

void TRunControl::EndJson(int exitCode, const std::string& line) {
    if (!progressJson_) return;
    const std::int64_t errors = sequence_.ApdProtocol->TotalErrors();
    // The hash of the image the transfer sent, so that a caller that handed over a snapshot can
    // tell that exactly those bytes went out. A run that ended before the image was taken hashes
    // the file as it reads it now.
    if (const auto image = sequence_.ApdProtocol->SentImage()) {
        progressJson_->End(exitCode, line, ImageSha256(image.get()), image->Size(), errors);
        return;
    }
    const std::optional<TFileDigest> file = FileSha256(sequence_.FileName());
    progressJson_->End(exitCode, line, file ? file->sha256 : std::string(), file ? file->size : -1,
                       errors);
}

void TRunControl::Signal(int signalNumber) {
    if (!commandLine_.batch) {
        // The exit button; a transfer it cuts short ends the program with 128 + the number.
        sequence_.Quit(128 + signalNumber);
        return;
    }
    if (ended_) return;  // the outcome is known and the program is ending
    const char* name = signalNumber == SIGINT ? "SIGINT" : signalNumber == SIGTERM ? "SIGTERM"
                                                                                   : "a signal";
    End(128 + signalNumber, std::string("kavodown: stopped by ") + name);
}

}  // namespace kavo
