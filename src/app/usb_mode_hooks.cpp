// The USB storage mode's place in the download sequence and in the unattended run: the mode is
// made with the sequence, volume notices reach it, and --batch watches its volumes. It watches
// Linux's mount table and sysfs; the Windows program has its own form of these (win32_usb_mode_hooks.cpp).
#include "app/disk_info.h"
#include "app/download_sequence.h"
#include "app/run_control.h"
#include "app/usb_mode.h"
#include "platform/exit_codes.h"
#include "platform/steady_clock.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "serial/usb_location.h"

namespace kavo {
namespace {

// How long a volume may stay unknown to sysfs before it counts as on no USB device.
constexpr std::int64_t kUnplacedMs = 2000;

}  // namespace

void TDownloadSequence::CreateUsbMode() {
    DK_INFO = new TDiskInfo(components_.get());
    DK_INFO->SetName("DK_INFO");
    TUsbDownloadHooks window;
    window.usbMode = [this] { return view_.UsbChecked(); };
    window.fileName = [this] { return view_.FileName(); };
    window.sendCmd = [this](unsigned char cmd, const std::u16string& data) {
        return SendCmd(cmd, data);
    };
    window.destroyWindow = [this] {
        // What destroying the window does before the process ends: the settings are saved and
        // the port is closed.
        SaveSettingsAtEnd();
        try {
            Tevo->SetOpen(false);
        } catch (const std::exception&) {
            // The process ends now; a port that does not close cleanly is closed by its end.
        }
    };
    // Created after DK_INFO, so that it goes first.
    UsbMode = new TUsbMode(components_.get(), *DK_INFO, std::move(window));
}


void TDownloadSequence::DeviceChange(unsigned event, const std::string& rootFolder) {
    UsbMode->DeviceChange(event, rootFolder);
}


bool TRunControl::WatchUsbMode(std::uint32_t seconds) {
    if (commandLine_.sameUsbDevice) {
        const std::string port = ComPortPath(sequence_.TevoComNumber());
        usbDevice_ = UsbDeviceOfPort(port, SysfsRoot());
        if (usbDevice_.empty()) {
            End(kExitOtherError, "kavodown: --same-usb-device: the port's device " +
                                     (port.empty() ? std::string("(none)") : port) +
                                     " is on no USB device, so no volume is its own");
            return false;
        }
        sequence_.UsbMode->SetFilter(
            [this](const TVolumeNotice& notice) { return OwnVolume(notice); });
        // The terminal's volume may be mounted already (the run starts when its serial port
        // appears, and both come with the same plug-in).
        for (const TVolumeNotice& notice : MountedVolumes()) sequence_.UsbMode->Deliver(notice);
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
    sequence_.UsbMode->SetObserver(std::move(observer));
    if (seconds == 0) return true;  // wait as long as it takes
    usbWaitSeconds_ = seconds;
    usbWait_ = std::make_unique<TTimer>([this] { UsbWaitOver(); });
    usbWait_->SetSingleShot(true);
    usbWait_->SetInterval(seconds * 1000);
    usbWait_->SetEnabled(true);
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
    if (!sequence_.Tevo->Open()) return TVolumeChoice::later;
    ownVolumes_.insert(notice.rootFolder);
    return TVolumeChoice::take;
}

}  // namespace kavo
