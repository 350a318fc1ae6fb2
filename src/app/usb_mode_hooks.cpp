// The USB storage mode's place in the download sequence: the mode is made with the sequence, and
// the volume notices of a window that hears them reach it. The unattended run's part is
// posix_usb_mode_hooks.cpp and win32_usb_mode_hooks.cpp.
#include "app/disk_info.h"
#include "app/download_sequence.h"
#include "app/usb_mode.h"
#include "serial/com_port.h"

namespace kavo {

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
#ifndef _WIN32
    // Linux has no volume broadcasts: the mode watches the mount table from the start. On Windows
    // the main window hears the system's broadcasts and hands them on (DeviceChange); a run
    // without a window starts the mode's watcher when it asks for the mode.
    UsbMode->StartWatcher();
#endif
}

void TDownloadSequence::DeviceChange(unsigned event, const std::string& rootFolder) {
    UsbMode->DeviceChange(event, rootFolder);
}

}  // namespace kavo
