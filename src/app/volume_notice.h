// What the system tells of a volume that arrives or goes away, on every platform: the
// device-change message's codes, and the notice that carries the volume's root folder to the USB
// storage mode. Each platform's watcher (volume_watcher.h on Linux, win32_volume_watcher.h on
// Windows) makes the notices.
#pragma once

#include <cstdint>
#include <string>

namespace kavo {

// The device-change message and the parts of its broadcast record that the tool reads.
constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr std::uint32_t DBT_DEVTYP_VOLUME = 2;

// A volume and where its root folder is.
struct TVolumeNotice {
    std::uint32_t event = 0;  // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
    std::string rootFolder;   // the mount point on Linux, the drive's root ("G:\") on Windows
    // Linux: the mount table's entry of the volume.
    std::string source;
    std::string fsType;
    unsigned major = 0, minor = 0;  // the mount's device number, as the table gives it
    int mountId = 0;
};

// True while the volume of an arrival notice is still the one at its root folder.
bool StillMounted(const TVolumeNotice& notice);

}  // namespace kavo
