// The USB storage mode of the main window: its volume information component DK_INFO, the volume
// watcher, and the device-change handler behind TFMain::DeviceChange.
//
// Thread safety: the user-interface thread.
#pragma once

#include "app/volume_watcher.h"

#include <functional>
#include <string>

namespace kavo {

class TComponent;
class TDiskInfo;
class TFMain;

// Creates DK_INFO and the volume watcher for `window`, owned by `owner` (the owner of the
// window's other components, so that they go with them). From then on every volume that arrives
// or goes away reaches window.DeviceChange on the user-interface thread. Returns DK_INFO.
TDiskInfo* CreateUsbMode(TFMain& window, TComponent* owner);

// How the removal of a volume ends the process; by default at once, with the given exit code and
// without the rest of the normal shutdown. Tests replace it.
void SetUsbModeExit(std::function<void(int exitCode)> exitProcess);

// What a run without an operator learns of the USB storage mode of one window. Every member is
// optional.
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
void SetUsbModeObserver(TFMain& window, TUsbModeObserver observer);

// Which volume notices reach the mode; without a filter every one does.
enum class TVolumeChoice {
    take,
    ignore,
    later,  // not yet: asked again every 100 ms (an arrival while its volume stays mounted)
};
using TVolumeFilter = std::function<TVolumeChoice(const TVolumeNotice& notice)>;
void SetUsbModeFilter(TFMain& window, TVolumeFilter filter);

// Hands `notice` to the mode as if the watcher had seen it (through the filter).
void DeliverVolumeNotice(TFMain& window, const TVolumeNotice& notice);

}  // namespace kavo
