// Reading a volume on Windows: the drive type, a size query for removable drives, and the volume's
// label, serial number and file system name as the system reports them.
#include "app/disk_info.h"

#include "app/win32/wide_text.h"

namespace kavo {

void TDiskInfo::SetRootFolder(const std::string& rootFolder) {
    rootFolder_ = rootFolder;
    Clear();
    if (rootFolder.empty()) return;

    // The root of the volume that holds the folder ("G:\" for "G:\Down\").
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(win32::Widen(rootFolder).c_str(), root, MAX_PATH)) return;
    driveType_ = static_cast<int>(GetDriveTypeW(root));
    if (driveType_ == DRIVE_UNKNOWN || driveType_ == DRIVE_NO_ROOT_DIR) return;

    if (driveType_ == DRIVE_REMOVABLE || driveType_ == DRIVE_CDROM) {
        // A removable drive is ready only when it answers a size query; an empty drive must not
        // bring up the system's "insert a disk" prompt meanwhile.
        const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
        ULARGE_INTEGER available{};
        ready_ = GetDiskFreeSpaceExW(root, &available, nullptr, nullptr) != FALSE;
        SetErrorMode(previous);
    } else {
        ready_ = true;
    }

    if (ready_) {
        wchar_t label[256] = {};
        wchar_t fileSystem[256] = {};
        DWORD serial = 0;
        if (GetVolumeInformationW(root, label, 256, &serial, nullptr, nullptr, fileSystem, 256)) {
            fileSystemName_ = win32::Narrow(fileSystem);
            volumeLabel_ = win32::Narrow(label);
            volumeNumber_ = serial;
            volumeNumberFmt_ = FormatVolumeNumber(serial);
        }
    }
    if (onChangeLetter_) onChangeLetter_(this);
}

}  // namespace kavo
