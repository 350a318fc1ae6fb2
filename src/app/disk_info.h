// TDiskInfo: a non-visual component that describes one volume.
//
// Selecting a volume (SetRootFolder, the counterpart of choosing a drive letter) refreshes all
// properties at once: the drive type, whether the volume is ready, and for a ready volume its file
// system name, label and volume serial number. File system names follow the Windows names that
// the terminals and their tools know: "FAT" for FAT12 and FAT16, "FAT32", "exFAT", "NTFS"; any
// other file system is named as the system mounts it ("ext4", ...).
//
// Where the facts come from, first hit wins: the udev database of the volume's block device
// (ID_FS_TYPE, ID_FS_VERSION, ID_FS_LABEL, ID_FS_UUID), then a probe of the mount's source when it
// is a block device or an image file (a FUSE driver names its image as the source), then statfs
// of the mounted folder (FAT12/16 against FAT32 told by the cluster count).
//
// Only the properties that the tool reads are built; sizes, cluster geometry and the shell's icon
// and names are not.
//
// Thread safety: a component of the user-interface thread.
#pragma once

#include "platform/component.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kavo {

// Drive types, as the platform's drive type query reports them.
constexpr int DRIVE_UNKNOWN = 0;
constexpr int DRIVE_NO_ROOT_DIR = 1;
constexpr int DRIVE_REMOVABLE = 2;
constexpr int DRIVE_FIXED = 3;
constexpr int DRIVE_REMOTE = 4;
constexpr int DRIVE_CDROM = 5;
constexpr int DRIVE_RAMDISK = 6;

// The Windows name of a file system given its probed type and version ("vfat" + "FAT16" gives
// "FAT"). Empty when the type is empty, or when it is FAT of an unknown version, so that the
// caller can ask its next source.
std::string WindowsFileSystemName(std::string_view type, std::string_view version);
// FAT12 and FAT16 volumes have fewer than 65525 clusters, FAT32 ones at least that many.
std::string FatNameForClusterCount(std::uint64_t clusters);
// The serial number as "%4x-%4x" with zeros for blanks and upper-case digits: "0A1B-00FF".
std::string FormatVolumeNumber(std::uint32_t number);
// The volume serial number of a probed UUID: "1234-ABCD" (FAT, exFAT) or the 16 digits of an NTFS
// serial (whose low 32 bits are the volume number). Nothing for other forms.
std::optional<std::uint32_t> VolumeNumberFromUuid(std::string_view uuid);
// The "E:KEY=value" lines of a udev database entry.
std::map<std::string, std::string> ParseUdevProperties(std::string_view text);

class TDiskInfo : public TComponent {
public:
    using TNotifyEvent = std::function<void(TComponent* sender)>;

    explicit TDiskInfo(TComponent* owner = nullptr);

    // Selects the volume whose root folder this is (a folder inside a volume selects that
    // volume); an empty text clears the selection.
    void SetRootFolder(const std::string& rootFolder);
    const std::string& RootFolder() const { return rootFolder_; }

    int DriveType() const { return driveType_; }
    bool Ready() const { return ready_; }
    const std::string& FileSystemName() const { return fileSystemName_; }
    const std::string& VolumeLabel() const { return volumeLabel_; }
    std::uint32_t VolumeNumber() const { return volumeNumber_; }
    const std::string& VolumeNumberFmt() const { return volumeNumberFmt_; }
    // The hardware serial number of the device that holds the volume (a USB stick's), if known.
    const std::string& SerialNumber() const { return serialNumber_; }

    // Raised after a volume that has a root folder has been read.
    void SetOnChangeLetter(TNotifyEvent handler) { onChangeLetter_ = std::move(handler); }
    const TNotifyEvent& OnChangeLetter() const { return onChangeLetter_; }

    // Where the udev database lives (tests point it elsewhere).
    void SetUdevDataFolder(std::string folder) { udevDataFolder_ = std::move(folder); }

private:
    void Clear();

    std::string rootFolder_;
    int driveType_ = DRIVE_NO_ROOT_DIR;
    bool ready_ = false;
    std::string fileSystemName_;
    std::string volumeLabel_;
    std::uint32_t volumeNumber_ = 0;
    std::string volumeNumberFmt_;
    std::string serialNumber_;
    TNotifyEvent onChangeLetter_;
    std::string udevDataFolder_ = "/run/udev/data";
};

}  // namespace kavo
