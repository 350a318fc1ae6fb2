#include "app/qt/run_control.h"

#include "app/batch_outcome.h"
#include "platform/exit_codes.h"
#include "platform/steady_clock.h"
#include "app/qt/main_window.h"
#include "app/qt/main_window_usb.h"
#include "serial/usb_location.h"
#include "app/uutil.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "transfer/firmware_image.h"
#include "transfer/protocol.h"
#include "transfer/status_figures.h"

#include <QByteArray>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kavo {
namespace {

// How long a volume may stay unknown to sysfs before it counts as on no USB device.
constexpr std::int64_t kUnplacedMs = 2000;

// Enough for the bytes of a large firmware image both ways, and its dispatch log.
constexpr std::uint32_t kTraceEntries = 4000000;
constexpr std::uint32_t kLogBytes = 4000000;

// The SHA-256 of what was sent, in hex; empty without an image.
std::string Sha256Hex(const TFirmwareImage* image) {
    if (!image) return std::string();
    const std::vector<std::uint8_t>& bytes = image->Bytes();
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<qsizetype>(bytes.size())),
        QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

}  // namespace

TRunControl::TRunControl(TFMain& window, TCommandLine commandLine)
    : window_(window), commandLine_(std::move(commandLine)) {}

bool TRunControl::Prepare() {
    if (commandLine_.ddd) window_.CB_DDD->setChecked(true);

    if (!commandLine_.traceDir.empty()) {
        window_.Tevo->SetTraceName(commandLine_.traceDir + "/TEVO.TRC");
        window_.Tevo->SetTraceSize(kTraceEntries);
        window_.Tevo->SetTracing(tlOn);
    }
    if (!commandLine_.logDir.empty()) {
        window_.Tevo->SetLogName(commandLine_.logDir + "/TEVO.LOG");
        window_.Tevo->SetLogSize(kLogBytes);
        window_.Tevo->SetLogging(tlOn);
    }

    ApplySilenceLimit(commandLine_.SilenceLimitSeconds());

    if (commandLine_.progress) {
        if (commandLine_.progressJson) progressJson_ = std::make_unique<TProgressJsonWriter>(stdout);
        else progress_ = std::make_unique<TProgressWriter>(stderr);
        window_.SetStatusHook([this](int options) { StatusReport(options); });
    }

    if (!commandLine_.batch) return true;

    window_.SetErrorDisplay([this](const QString& text) { ShowError(text); });
    window_.SetSendStopHook(
        [this](TSendStop stop, std::exception_ptr error) { SendStopped(stop, error); });
    window_.SetTransferEndHook([this](int errorCode) { return TransferEnded(errorCode); });
    window_.SetFileCheckHook(
        [this](const std::string& path, std::int64_t size) { return FileUsable(path, size); });

    if (window_.CB_USB->isChecked() && !WatchUsbMode(commandLine_.SilenceLimitSeconds())) {
        return false;
    }

    if (!window_.AutoStartPending()) {
        const QString reason = window_.StartupError().isEmpty()
                                   ? QStringLiteral("the transfer would not start by itself")
                                   : window_.StartupError();
        End(kExitOtherError, "kavodown: start-up failed: " + reason.toStdString());
        return false;
    }
    return true;
}

void TRunControl::ApplySilenceLimit(std::uint32_t seconds) {
    if (seconds == 0) return;  // the protocol's own waits, without a limit
    const std::uint32_t ticks =
        static_cast<std::uint32_t>(SecondsToTicks(static_cast<std::int32_t>(seconds)));
    TApdProtocol& protocol = *window_.ApdProtocol;
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
    if (commandLine_.sameUsbDevice) {
        const std::string port = ComPortPath(window_.TevoComNumber());
        usbDevice_ = UsbDeviceOfPort(port, SysfsRoot());
        if (usbDevice_.empty()) {
            End(kExitOtherError, "kavodown: --same-usb-device: the port's device " +
                                     (port.empty() ? std::string("(none)") : port) +
                                     " is on no USB device, so no volume is its own");
            return false;
        }
        SetUsbModeFilter(window_, [this](const TVolumeNotice& notice) { return OwnVolume(notice); });
        // The terminal's volume may be mounted already (the run starts when its serial port
        // appears, and both come with the same plug-in).
        for (const TVolumeNotice& notice : MountedVolumes()) DeliverVolumeNotice(window_, notice);
    }
    TUsbModeObserver observer;
    observer.copied = [this](const std::string& target, bool ok) { UsbCopied(target, ok); };
    observer.told = [this](bool acknowledged) {
        usbTold_ = true;
        usbAcknowledged_ = acknowledged;
    };
    observer.removed = [this](const std::string& rootFolder, int exitCode) {
        return UsbRemoved(rootFolder, exitCode);
    };
    SetUsbModeObserver(window_, std::move(observer));
    if (seconds == 0) return true;  // wait as long as it takes
    usbWaitSeconds_ = seconds;
    usbWait_ = std::make_unique<QTimer>();
    usbWait_->setSingleShot(true);
    usbWait_->setTimerType(Qt::PreciseTimer);  // a coarse timer may end the wait up to 5 % early
    usbWait_->setInterval(std::chrono::seconds(seconds));
    QObject::connect(usbWait_.get(), &QTimer::timeout, [this] { UsbWaitOver(); });
    usbWait_->start();
    return true;
}

TVolumeChoice TRunControl::OwnVolume(const TVolumeNotice& notice) {
    if (ended_) return TVolumeChoice::ignore;
    if (notice.event == DBT_DEVICEREMOVECOMPLETE) {
        unplacedSince_.erase(notice.rootFolder);
        if (!ownVolumes_.contains(notice.rootFolder)) return TVolumeChoice::ignore;
        // A terminal removes its volume right after its ACK; the removal can be seen before the
        // ACK is read, and waits for the answer to the command (at most its 1 s).
        if (!usbTarget_.empty() && !usbTold_) return TVolumeChoice::later;
        ownVolumes_.erase(notice.rootFolder);
        return TVolumeChoice::take;
    }
    if (ownVolumes_.contains(notice.rootFolder)) return TVolumeChoice::ignore;  // seen twice
    const TVolumePlace place = UsbPlaceOfVolume(notice, SysfsRoot());
    if (!place.known) {
        // sysfs places a USB disk before it can be mounted; what it does not place within a
        // moment (an image mounted through FUSE) is on no USB device.
        const std::int64_t now = SteadyNowMs();
        const auto [it, first] = unplacedSince_.emplace(notice.rootFolder, now);
        if (now - it->second < kUnplacedMs) return TVolumeChoice::later;
        unplacedSince_.erase(it);
        return TVolumeChoice::ignore;
    }
    unplacedSince_.erase(notice.rootFolder);
    if (place.usbDevice != usbDevice_) {
        Print("kavodown: " + notice.rootFolder + " is not on the port's USB device; left alone");
        return TVolumeChoice::ignore;
    }
    // The arrival copies the firmware and tells the terminal over the port, which the run
    // opens a moment after its start.
    if (!window_.Tevo->Open()) return TVolumeChoice::later;
    ownVolumes_.insert(notice.rootFolder);
    return TVolumeChoice::take;
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
    if (usbWait_) usbWait_->start();
}

int TRunControl::UsbRemoved(const std::string& rootFolder, int exitCode) {
    if (ended_) return window_.ExitCode();
    ended_ = true;
    if (usbWait_) usbWait_->stop();
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
        usbAcknowledged_ || window_.Link().RecvBuf().find(static_cast<char>(kACK)) != std::string::npos;
    if (commandLine_.sameUsbDevice && !acknowledged) {
        const std::string line = "kavodown: the terminal on COM" +
                                 std::to_string(window_.TevoComNumber()) +
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
                               std::to_string(window_.TevoComNumber()) +
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
    window_.EndRun(exitCode);
}

void TRunControl::PrintOutcome(const std::string& line) {
    // The window saves the settings when it goes, after the outcome; a save that fails then says
    // so on a line of its own, and a script reading the last line would read that instead of the
    // outcome. Saving first puts that line before the outcome (the window's own save is then a
    // no-op).
    try {
        window_.FormDestroy();
    } catch (const std::exception& e) {
        Print(std::string("kavodown: the settings could not be saved: ") + e.what());
    }
    if (!line.empty()) Print(line);
}

void TRunControl::ShowError(const QString& text) {
    // With the outcome known (the window is closing), the error only adds its line, unless the
    // outcome is that error already (a port's failure that ended the transfer first).
    if (ended_) {
        if ("kavodown: error: " + text.toStdString() != portFailureLine_)
            Print("kavodown: " + text.toStdString());
        return;
    }
    End(kExitOtherError, "kavodown: error: " + text.toStdString());
}

bool TRunControl::FileUsable(const std::string& path, std::int64_t size) {
    // A file that cannot be sent as it is (empty, unreadable for this user, too large) ends the
    // run before the port opens, so no terminal is woken for it. (An operator's window sends an
    // empty file as the end of file alone.)
    if (size == 0) {
        End(kExitFileMissing, "kavodown: file missing: " + path + " is empty");
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        End(kExitFileMissing,
            "kavodown: file missing: " + path + " cannot be read: " + std::strerror(errno));
        return false;
    }
    ::close(fd);
    if (size > kMaxImageSize) {
        End(kExitFileMissing, "kavodown: file missing: " + path + " has " + std::to_string(size) +
                                  " bytes; firmware files above " + ImageLimitText() +
                                  " are refused");
        return false;
    }
    return true;
}

void TRunControl::SendStopped(int stop, std::exception_ptr error) {
    const int port = window_.TevoComNumber();
    TBatchStop result;
    switch (stop) {
    case ssFileMissing: result = FileMissingStop(window_.EDT_FName->text().toStdString()); break;
    case ssPortFailed: result = PortOpenStop(error, port); break;
    case ssNoAnswer: result = NoAnswerStop(port); break;
    default: result = {kExitOtherError, "kavodown: the send sequence stopped"}; break;
    }
    End(result.exitCode, result.line);
}

int TRunControl::TransferEnded(int errorCode) {
    // A transfer that ended because its port failed ends the run as that failure does.
    const std::string failure = errorCode != 0 ? window_.Tevo->WorkerFailure() : std::string();
    TBatchStop result;
    if (failure.empty()) {
        result = TransferEndStop(errorCode, window_.TevoComNumber());
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
    const TApdProtocol& protocol = *window_.ApdProtocol;
    TProgressFigures figures = ProgressFiguresOf(FiguresOf(protocol));
    // Until the engine has opened the file its length reads 0; the file on disk tells it.
    if (figures.fileLength == 0) figures.fileLength = QFileInfo(window_.EDT_FName->text()).size();
    const bool last = (options & StatusOptionLast) != 0;
    if (last) figures.sha256 = Sha256Hex(protocol.SentImage().get());
    if (progressJson_) progressJson_->Report(figures);
    else progress_->Report(figures, last);
}

void TRunControl::EndJson(int exitCode, const std::string& line) {
    if (!progressJson_) return;
    const std::int64_t errors = window_.ApdProtocol->TotalErrors();
    // The hash of the image the transfer sent, so that a caller that handed over a snapshot can
    // tell that exactly those bytes went out. A run that ended before the image was taken hashes
    // the file as it reads it now.
    if (const auto image = window_.ApdProtocol->SentImage()) {
        progressJson_->End(exitCode, line, Sha256Hex(image.get()), image->Size(), errors);
        return;
    }
    QFile file(window_.EDT_FName->text());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    progressJson_->End(exitCode, line, read ? hash.result().toHex().toStdString() : std::string(),
                       read ? file.size() : -1, errors);
}

void TRunControl::Signal(int signalNumber) {
    if (!commandLine_.batch) {
        // The exit button; a transfer it cuts short ends the program with 128 + the number.
        window_.Quit(128 + signalNumber);
        return;
    }
    if (ended_) return;  // the outcome is known and the program is ending
    const char* name = signalNumber == SIGINT ? "SIGINT" : signalNumber == SIGTERM ? "SIGTERM"
                                                                                   : "a signal";
    End(128 + signalNumber, std::string("kavodown: stopped by ") + name);
}

}  // namespace kavo
