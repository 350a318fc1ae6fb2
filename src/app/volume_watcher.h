// Volume arrival and removal notices for the USB download mode.
//
// On Windows every top-level window hears of new and removed volumes through WM_DEVICECHANGE with
// a broadcast record whose unit mask names the drive letter. On Linux the mount table is the
// source: the kernel flags /proc/self/mountinfo with POLLPRI whenever a mount is added or removed,
// so a watcher thread waits in poll(), re-reads the table and compares it with the previous one.
// Each volume that appeared or went away becomes a WM_DEVICECHANGE message (DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE) on the thread that created the watcher, carrying a TVolumeNotice with
// the volume's root folder. A volume whose disk goes away while it stays mounted (a stick pulled
// out where no automounter unmounts it) is reported as removed too: the kernel's device events
// (its uevent netlink socket, where the watcher may open one) make the watcher look.
//
// A volume is what an operator would call a drive: a FAT, exFAT or NTFS file system on a
// removable or USB-attached disk or on a disk image, mounted by the kernel or through FUSE (a
// terminal's FAT image mounted with a FUSE driver counts). Everything else is not: other file
// systems (a snap's squashfs loop, an ISO, ext4, btrfs), network and other FUSE mounts (sshfs,
// portals), a FAT partition of a fixed disk (/boot/efi), pseudo file systems (proc, sysfs, tmpfs,
// ...) and bind mounts (a sub-folder mounted elsewhere, or a second mount of a device already in
// the table).
//
// The parsing and comparing functions are pure and accept any input without failing, so that the
// watcher never trips over an odd line of the table.
#pragma once

#include "app/volume_notice.h"
#include "platform/message_queue.h"
#include "platform/unique_fd.h"
#include "serial/usb_location.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kavo {

// The letter of a Windows unit mask: among bits 0 (A) to 25 (Z) the highest set bit wins; 0 when
// none of these bits is set.
char UnitMaskDriveLetter(std::uint32_t unitMask);

// The letter of a Windows volume broadcast record (little-endian: size at 0, device type at 4,
// reserved at 8, unit mask at 12). 0 when the record is shorter than 16 bytes, is not about a
// volume, or names no drive.
char BroadcastDriveLetter(std::span<const std::uint8_t> record);

// One line of /proc/<pid>/mountinfo.
struct TMountEntry {
    int mountId = 0;
    int parentId = 0;
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;        // the folder of the file system that is mounted here ("/" = all of it)
    std::string mountPoint;  // where it is mounted, unescaped
    std::string mountOptions;
    std::string fsType;  // "vfat", "fuse", "fuseblk", "fuse.sshfs", ...
    std::string source;  // "/dev/sdb1", or whatever a FUSE driver gave as its fsname
    std::string superOptions;
};

// Turns the octal escapes of the table ("\040" for a blank, "\011", "\012", "\134") back into
// bytes; anything else, also a broken escape, is kept as it stands.
std::string UnescapeMountField(std::string_view field);
// One line; nothing when the line is malformed.
std::optional<TMountEntry> ParseMountInfoLine(std::string_view line);
// The whole table, in its order; malformed lines are skipped.
std::vector<TMountEntry> ParseMountInfo(std::string_view text);

// Where a mount's file system lives.
enum class TDiskKind {
    unknown,    // no device or image that can be found
    fixed,      // a disk built into the machine
    removable,  // a removable or USB-attached disk
    image,      // a disk image: a loop device, or a file that a FUSE driver mounts
};
using TDiskKindOf = std::function<TDiskKind(const TMountEntry&)>;

// The device number whose /sys/dev/block entry tells where a mount's file system lives: the
// block device node that a FUSE driver names as its source, or that the kernel names for a mount
// on an anonymous number; else the mount's own number (a FUSE image's is one the system does not
// know).
struct TDeviceNumber {
    unsigned major = 0, minor = 0;
};
TDeviceNumber DiskNumberOf(std::string_view fsType, const std::string& source, unsigned major,
                           unsigned minor);

// The disk of a mount as the system tells it: the source file of a FUSE mount (a regular file
// is an image), else the block device of DiskNumberOf in /sys/dev/block: a loop device is an
// image, one below a USB device or with the removable flag is removable.
TDiskKind DiskKindOf(const TMountEntry& entry);

// Whether the entry at `index` of `table` is a volume (see the top of this file); `kindOf` tells
// where a mount lives.
bool IsVolumeEntry(const std::vector<TMountEntry>& table, std::size_t index,
                   const TDiskKindOf& kindOf = DiskKindOf);

// The notice of `entry` for `event`.
TVolumeNotice VolumeNotice(std::uint32_t event, const TMountEntry& entry);

// Where the volume of `notice` lives: the USB place of its block device (DiskNumberOf), in the
// sysfs tree at `sysRoot`. A FUSE image mount has an anonymous number that sysfs never knows.
TVolumePlace UsbPlaceOfVolume(const TVolumeNotice& notice, const std::string& sysRoot);

// Arrival notices of the volumes mounted now, in the order of the table at `mountInfoPath`;
// none when it cannot be read.
std::vector<TVolumeNotice> MountedVolumes(const std::string& mountInfoPath = "/proc/self/mountinfo");

// The mount ids of the volumes of `table`. Whether a mount is a volume is decided while it is
// there: by the time a mount goes, its disk may be gone already (a terminal that restarts, a
// yanked stick, an image file removed), and nothing would tell it was one.
std::set<int> VolumeIds(const std::vector<TMountEntry>& table, const TDiskKindOf& kindOf = DiskKindOf);

// The volumes that went away (first, in the old table's order) and those that arrived (in the new
// table's order) between two tables, each table with the mount ids of its volumes. A mount is
// identified by its mount id: one that was in the old table is never an arrival, one that is
// still in the new table never a removal.
std::vector<TVolumeNotice> CompareMountTables(const std::vector<TMountEntry>& before,
                                              const std::set<int>& beforeVolumes,
                                              const std::vector<TMountEntry>& after,
                                              const std::set<int>& afterVolumes);
// The same, with the volumes of both tables decided now by `kindOf`.
std::vector<TVolumeNotice> CompareMountTables(const std::vector<TMountEntry>& before,
                                              const std::vector<TMountEntry>& after,
                                              const TDiskKindOf& kindOf = DiskKindOf);

// The volumes among `volumes` (mount ids of `table`) whose disk is gone although they are still
// mounted, as removal notices in the table's order. Nothing unmounts a stick pulled out of a
// machine without an automounter: its mount stays, and only its block device goes away.
// `diskThere` is asked for the DiskNumberOf of each; a mount with no block device of its own
// (major 0, a FUSE image) is never reported.
std::vector<TVolumeNotice> VolumesWithoutDisk(const std::vector<TMountEntry>& table,
                                              const std::set<int>& volumes,
                                              const std::function<bool(TDeviceNumber)>& diskThere);

// Watches the mount table on a thread of its own and reports changes on the thread that created
// it, through that thread's message queue (a message loop or ProcessMessages must run there).
//
// Thread safety: construct, Start, Stop and destroy on the owning thread. The callback runs on the
// owning thread only, from its message loop.
class TVolumeWatcher {
public:
    using Callback = std::function<void(const TVolumeNotice&)>;

    // `mountInfoPath` is the table to watch; tests may pass another one.
    explicit TVolumeWatcher(Callback callback,
                            std::string mountInfoPath = "/proc/self/mountinfo");
    ~TVolumeWatcher();
    TVolumeWatcher(const TVolumeWatcher&) = delete;
    TVolumeWatcher& operator=(const TVolumeWatcher&) = delete;

    // Reads the table as the starting point and starts the watcher thread. Returns false (and
    // LastError() says why) when the table cannot be read. Starting a running watcher does nothing.
    bool Start();
    // Stops and joins the thread; notices not yet delivered are dropped.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    const std::string& LastError() const { return lastError_; }

    // The window that receives WM_DEVICECHANGE with wParam = the event code and lParam = the
    // number of the notice; TakeNotice hands the notice out once.
    HWND Window() const { return window_; }
    std::optional<TVolumeNotice> TakeNotice(LPARAM number);

private:
    void Run(std::stop_token stop, int mountFd, int wakeFd, int deviceFd);
    // On the watcher thread: compares with the last table and posts the notices.
    void TableChanged(std::vector<TMountEntry> table);
    void Post(std::vector<TVolumeNotice> notices);
    LRESULT HandleMessage(std::uint32_t msg, WPARAM wParam, LPARAM lParam);

    Callback callback_;
    std::string path_;
    HWND window_ = 0;
    std::string lastError_;
    std::vector<TMountEntry> table_;  // watcher thread only, once started
    std::set<int> volumes_;           // the mount ids of table_'s volumes, decided on arrival

    std::mutex mutex_;
    std::map<LPARAM, TVolumeNotice> pending_;
    LPARAM nextNumber_ = 1;

    TUniqueFd mountFd_;
    TUniqueFd wakeFd_;
    TUniqueFd deviceFd_;  // the kernel's device events; none where they cannot be had
    std::jthread thread_;  // after the descriptors: joined before they close
};

}  // namespace kavo
