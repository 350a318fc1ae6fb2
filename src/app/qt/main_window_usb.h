// The USB storage mode of the main window: its volume information component DK_INFO, the volume
// watcher, and the device-change handler behind TFMain::DeviceChange.
//
// Thread safety: the user-interface thread.
#pragma once

#include <functional>

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

}  // namespace kavo
