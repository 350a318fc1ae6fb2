// The USB storage mode in an unattended run on Linux: --batch watches its volumes, and with
// --same-usb-device takes only those of the port's own USB device, which sysfs tells.
#include "app/download_sequence.h"
#include "app/run_control.h"
#include "app/usb_mode.h"
#include "app/volume_watcher.h"
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

bool TRunControl::TakeOwnVolumesOnly() {
    const std::string port = ComPortPath(sequence_.TevoComNumber());
    usbDevice_ = UsbDeviceOfPort(port, SysfsRoot());
    if (usbDevice_.empty()) {
        End(kExitOtherError, "kavodown: --same-usb-device: the port's device " +
                                 (port.empty() ? std::string("(none)") : port) +
                                 " is on no USB device, so no volume is its own");
        return false;
    }
    sequence_.UsbMode->SetFilter([this](const TVolumeNotice& notice) { return OwnVolume(notice); });
    // The terminal's volume may be mounted already (the run starts when its serial port
    // appears, and both come with the same plug-in).
    for (const TVolumeNotice& notice : MountedVolumes()) sequence_.UsbMode->Deliver(notice);
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
