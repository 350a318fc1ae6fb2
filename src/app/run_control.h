// The program's own options applied to the download sequence: --batch, --ddd, --progress, --trace,
// --log and --silence-limit.
//
// Without options nothing here touches the sequence. With --batch every early stop of the send
// sequence, every error that would go to the error display and the end of the transfer end the
// program at once, with the exit code of exit_codes.h and one line on the standard error.
//
// A --batch run in USB storage mode waits for the terminal's volume, and once the firmware is on
// it for the volume to go away, each time no longer than the silence limit. A failed copy ends
// the run at once; a volume removed before the firmware reached the terminal is not the normal
// end of the mode, so it does not end with 1.
//
// With --same-usb-device only the volume of the port's own USB device counts (the production
// station runs each slot so, with several terminals' volumes coming and going at once): others
// are left alone, and the run ends with 1 only when that volume goes away after the terminal
// acknowledged the firmware on it; without the acknowledgement it ends with 7.
//
// Thread safety: the user-interface thread, like the sequence.
#pragma once

#include "app/command_line.h"
#include "app/progress_json.h"
#include "app/progress_report.h"
#include "app/usb_mode.h"
#include "platform/event_loop.h"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace kavo {

class TDownloadSequence;

class TRunControl {
public:
    TRunControl(TDownloadSequence& sequence, TCommandLine commandLine);

    // Applies the options to the sequence before its automatic start. With --batch a start-up that
    // stopped early (no automatic start to come) ends the run; returns false then.
    bool Prepare();

    // Where errors that escape an event handler go with --batch (instead of a message box).
    void ShowError(const std::string& text);

    // SIGTERM or SIGINT arrived: the exit button, or with --batch the end of the run with 128 +
    // the signal's number (unless the run has its outcome already).
    void Signal(int signalNumber);

    // One line on the standard error, after ending a progress line that a terminal shows.
    void Print(const std::string& line);

private:
    void ApplySilenceLimit(std::uint32_t seconds);
    bool FileUsable(const std::string& path, std::int64_t size);
    void SendStopped(int stop, std::exception_ptr error);
    int TransferEnded(int errorCode);
    void StatusReport(int options);
    void End(int exitCode, const std::string& line);
    void PrintOutcome(const std::string& line);
    bool WatchUsbMode(std::uint32_t seconds);
    // --same-usb-device: sets the mode's filter to the volumes of the port's own USB device;
    // false when the run ended instead (per platform: posix_ and win32_usb_mode_hooks.cpp).
    bool TakeOwnVolumesOnly();
    TVolumeChoice OwnVolume(const TVolumeNotice& notice);
    void UsbCopied(const std::string& target, bool ok);
    int UsbRemoved(const std::string& rootFolder, int exitCode);
    void UsbWaitOver();
    void EndJson(int exitCode, const std::string& line);

    TDownloadSequence& sequence_;
    TCommandLine commandLine_;
    std::unique_ptr<TProgressWriter> progress_;
    std::unique_ptr<TProgressJsonWriter> progressJson_;  // --progress json, instead of progress_
    bool ended_ = false;  // the run has its outcome; later errors only add their line
    std::string portFailureLine_;  // the outcome was a port's failure, with this line
    // USB storage mode with --batch.
    std::unique_ptr<TTimer> usbWait_;  // the silence limit of the current wait
    std::uint32_t usbWaitSeconds_ = 0;
    std::string usbTarget_;            // where the firmware was copied; empty before
    bool usbAcknowledged_ = false;     // the terminal ACKed 0xD1 "E"
    bool usbTold_ = false;             // its answer (or the end of the wait for it) came
    std::string usbDevice_;            // --same-usb-device: the port's USB device folder
    std::set<std::string> ownVolumes_; // --same-usb-device: root folders of its volumes
    std::map<std::string, std::int64_t> unplacedSince_;  // roots sysfs did not place yet, ms
};

}  // namespace kavo
