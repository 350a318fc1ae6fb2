// The USB storage mode of the download sequence: the volume watcher, the filter and observer that
// an unattended run sets, and the device-change handler (TUsbDownload) behind them.
//
// Every volume that arrives or goes away reaches the handler on the user-interface thread: from
// the mode's own watcher (Linux's mount table; on Windows a hidden window that hears the system's
// volume broadcasts, for a run without a window) through the filter when one is set, or from a
// window that hears the broadcasts itself (DeviceChange). A removal ends the process (by default
// at once, with the exit code of the mode) after the window's destruction has saved the settings
// and closed the port.
//
// Thread safety: the user-interface thread.
#pragma once

#include "app/usb_download.h"
#include "app/volume_notice.h"
#include "platform/component.h"
#include "platform/event_loop.h"

#include <functional>
#include <list>
#include <memory>
#include <string>

namespace kavo {

class TDiskInfo;
class TVolumeWatcher;

// What a run without an operator learns of the USB storage mode. Every member is optional.
struct TUsbModeObserver {
    // The firmware was copied onto a terminal's volume (ok: every byte is there) and the terminal
    // is told next.
    std::function<void(const std::string& target, bool ok)> copied;
    // The terminal's answer to 0xD1 "E": true when its ACK came.
    std::function<void(bool acknowledged)> told;
    // A volume went away; the window is destroyed and the process ends right after this with the
    // exit code returned (`exitCode` is the one of the USB storage mode, 1).
    std::function<int(const std::string& rootFolder, int exitCode)> removed;
};

// Which volume notices reach the mode; without a filter every one does.
enum class TVolumeChoice {
    take,
    ignore,
    later,  // not yet: asked again every 100 ms (an arrival while its volume stays mounted)
};
using TVolumeFilter = std::function<TVolumeChoice(const TVolumeNotice& notice)>;

// How the removal of a volume ends the process; by default at once, with the given exit code and
// without the rest of the normal shutdown. Tests replace it.
void SetUsbModeExit(std::function<void(int exitCode)> exitProcess);

class TUsbMode : public TComponent {
public:
    // `window` are the parts of the window the handler uses (exitProcess and copied are the
    // mode's own).
    TUsbMode(TComponent* owner, TDiskInfo& diskInfo, TUsbDownloadHooks window);
    ~TUsbMode() override;

    // Starts the mode's own volume watcher; says so on the standard error when the system's
    // volume changes cannot be watched. Starting it twice does nothing.
    void StartWatcher();

    void SetObserver(TUsbModeObserver observer) { observer_ = std::move(observer); }
    void SetFilter(TVolumeFilter filter) { filter_ = std::move(filter); }
    // Hands `notice` to the mode as if the watcher had seen it (through the filter).
    void Deliver(const TVolumeNotice& notice) { Deliver(notice, 0); }
    // The device-change handler itself, past the filter.
    void DeviceChange(unsigned event, const std::string& rootFolder);

private:
    TUsbDownloadHooks ModeHooks(TUsbDownloadHooks window);
    void Deliver(const TVolumeNotice& notice, int tries);
    void AskLater(const TVolumeNotice& notice, int tries);

    TUsbModeObserver observer_;
    TVolumeFilter filter_;
    std::string noticeRoot_;  // the root folder of the notice being handled
    std::list<TTimer> later_;  // notices to be asked about again
    TUsbDownload handler_;
    std::unique_ptr<TVolumeWatcher> watcher_;
};

}  // namespace kavo
