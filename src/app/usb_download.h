// The USB storage download: what the main window does when a volume arrives or goes away.
//
// Some terminals take their firmware as a file on a FAT volume that they present over USB. In USB
// mode the main window hands every volume notice to TUsbDownload:
//  - arrival: if the volume has a "Down" folder in its root and its file system is "FAT" (FAT12
//    or FAT16; FAT32, exFAT, NTFS and unknown ones are not terminals), the firmware file is copied
//    into that folder under its own name and the terminal is told with the command 0xD1 "E". The
//    command goes out whatever the copy did; a volume without the folder is not touched at all.
//  - removal of any volume: the window is destroyed (which saves the settings and closes the port)
//    and the process ends at once with exit code 1.
// Outside USB mode notices change nothing.
//
// The window's parts come in as callbacks, so the rules are testable without a window.
//
// Thread safety: the user-interface thread. SendCmd runs that thread's messages while it waits
// for the terminal's ACK, so a removal can arrive, and end the process, inside an arrival.
#pragma once

#include "app/disk_info.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kavo {

struct TUsbDownloadHooks {
    std::function<bool()> usbMode;          // CB_USB is checked
    std::function<std::string()> fileName;  // the text of EDT_FName
    std::function<int(unsigned char cmd, const std::u16string& data)> sendCmd;
    std::function<void()> destroyWindow;  // saves PORT and FNAME, closes the port
    std::function<void(int exitCode)> exitProcess;  // does not return in the program
    // Optional: told of each copy onto a terminal's volume (the target path, and whether every
    // byte arrived), before the terminal is told.
    std::function<void(const std::string& target, bool ok)> copied;
};

// The drive letter that a volume broadcast's unit mask names (bit 0 is A, bit 25 is Z): the
// highest of the bits 0..25 that is set, so a mask for E and G gives G; 0 when none is set.
char DriveLetterOfUnitMask(std::uint32_t unitMask);

// The command that tells the terminal that its firmware is in place.
constexpr unsigned char kFirmwareReadyCmd = 0xD1;

class TUsbDownload {
public:
    TUsbDownload(TDiskInfo& diskInfo, TUsbDownloadHooks hooks);

    // The device-change handler: `event` is DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE (others
    // are ignored), `rootFolder` the volume's root.
    void DeviceChange(std::uint32_t event, const std::string& rootFolder);

    // The file-name part of a path: everything after its last folder separator ('/', on Windows
    // also '\' and a drive's ':').
    static std::string FileNamePart(const std::string& path);
    // The "Down" folder in the root of a volume, found without regard to case as FAT does; empty
    // when there is none.
    static std::string DownFolder(const std::string& rootFolder);

private:
    void Arrival(const std::string& rootFolder);

    TDiskInfo& diskInfo_;
    TUsbDownloadHooks hooks_;
};

}  // namespace kavo
