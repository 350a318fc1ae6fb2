#include "app/disk_info.h"

#include "app/volume_watcher.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kavo {

namespace {

constexpr long kMsdosMagic = 0x4d44;
constexpr long kExfatMagic = 0x2011BAB0;
constexpr long kNtfsMagic = 0x5346544e;   // the old read-only driver
constexpr long kNtfs3Magic = 0x7366746e;  // "ntfs"

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

bool ReadSmallFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

// What the probes found about a volume.
struct TProbe {
    std::string type;
    std::string version;
    std::string label;
    std::string uuid;
    std::string serial;
};

bool ProbeUdev(const std::string& folder, unsigned major, unsigned minor, TProbe& probe) {
    std::string text;
    if (!ReadSmallFile(folder + "/b" + std::to_string(major) + ":" + std::to_string(minor), text)) {
        return false;
    }
    auto properties = ParseUdevProperties(text);
    auto get = [&](const char* key) {
        auto it = properties.find(key);
        return it == properties.end() ? std::string() : it->second;
    };
    probe.type = get("ID_FS_TYPE");
    probe.version = get("ID_FS_VERSION");
    probe.label = get("ID_FS_LABEL");
    probe.uuid = get("ID_FS_UUID");
    probe.serial = get("ID_SERIAL_SHORT");
    return !probe.type.empty();
}

// Probes the superblock of a block device or an image file. Anything else (a FIFO could block,
// a FUSE driver's fsname may be any text) is left alone.
bool ProbeSource(const std::string& source, TProbe& probe) {
    struct stat st {};
    if (source.empty() || source[0] != '/' || stat(source.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return false;
    blkid_probe pr = blkid_new_probe_from_filename(source.c_str());
    if (!pr) return false;
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(
        pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
    bool found = false;
    if (blkid_do_safeprobe(pr) == 0) {
        auto get = [&](const char* key) {
            const char* data = nullptr;
            std::size_t length = 0;
            if (blkid_probe_lookup_value(pr, key, &data, &length) != 0 || !data) {
                return std::string();
            }
            return std::string(data);  // NUL-terminated; length counts the NUL
        };
        probe.type = get("TYPE");
        probe.version = get("VERSION");
        probe.label = get("LABEL");
        probe.uuid = get("UUID");
        found = !probe.type.empty();
    }
    blkid_free_probe(pr);
    return found;
}

// Asks the mounted file system itself.
void ProbeMountedFolder(const std::string& folder, const std::string& fsType, TProbe& probe,
                        std::string& name) {
    struct statfs sf {};
    if (statfs(folder.c_str(), &sf) != 0) return;
    const TUniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int fd = folderFd.Get();
    if (sf.f_type == kMsdosMagic) {
        // The FAT driver counts its blocks in clusters.
        name = FatNameForClusterCount(static_cast<std::uint64_t>(sf.f_blocks));
        std::uint32_t id = 0;
        if (fd >= 0 && ioctl(fd, FAT_IOCTL_GET_VOLUME_ID, &id) == 0) {
            char text[16];
            std::snprintf(text, sizeof text, "%04X-%04X", id >> 16, id & 0xFFFF);
            probe.uuid = text;
        }
    } else if (sf.f_type == kExfatMagic) {
        name = "exFAT";
    } else if (sf.f_type == kNtfsMagic || sf.f_type == kNtfs3Magic) {
        name = "NTFS";
    } else {
        name = WindowsFileSystemName(fsType, "");
    }
    char label[FSLABEL_MAX] = {};
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFSLABEL, label) == 0) {
        probe.label.assign(label, strnlen(label, sizeof label));
    }
}

// The mount that holds `folder` (already canonical): the last of the deepest mount points.
std::optional<TMountEntry> MountOf(const std::string& folder) {
    std::string text;
    if (!ReadSmallFile("/proc/self/mountinfo", text)) return std::nullopt;
    std::optional<TMountEntry> best;
    for (TMountEntry& entry : ParseMountInfo(text)) {
        const std::string& point = entry.mountPoint;
        bool inside = folder == point || point == "/" ||
                      (folder.size() > point.size() && folder.starts_with(point) &&
                       folder[point.size()] == '/');
        if (inside && (!best || point.size() >= best->mountPoint.size())) best = std::move(entry);
    }
    return best;
}

bool SysfsRemovable(unsigned major, unsigned minor) {
    std::string base = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    std::string text;
    // A partition has no flag of its own; its disk is the folder above.
    if (ReadSmallFile(base + "/removable", text) || ReadSmallFile(base + "/../removable", text)) {
        return Trim(text) == "1";
    }
    return false;
}

// The serial number that the device (a USB stick, say) reports: the first "serial" attribute on
// the way from the block device up its parents.
std::string SysfsSerial(unsigned major, unsigned minor) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::canonical(
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), ec);
    if (ec) return {};
    for (int level = 0; level < 12 && path.has_relative_path(); ++level) {
        std::string text;
        if (ReadSmallFile((path / "serial").string(), text)) {
            std::string serial = Trim(text);
            if (!serial.empty()) return serial;
        }
        path = path.parent_path();
    }
    return {};
}

int DriveTypeOf(const TMountEntry& mount, dev_t& blockDevice, bool& haveBlockDevice) {
    static const char* const kRemote[] = {"nfs",  "nfs4",       "cifs",        "smb3",
                                          "smbfs", "9p",        "afs",         "ceph",
                                          "davfs", "fuse.sshfs", "fuse.rclone", "fuse.s3fs"};
    static const char* const kOptical[] = {"iso9660", "udf"};
    static const char* const kRam[] = {"tmpfs", "ramfs"};
    auto any = [&](auto& list) {
        return std::any_of(std::begin(list), std::end(list),
                           [&](const char* t) { return mount.fsType == t; });
    };
    haveBlockDevice = false;
    if (mount.major != 0) {
        blockDevice = makedev(mount.major, mount.minor);
        haveBlockDevice = true;
    } else {
        struct stat st {};
        if (!mount.source.empty() && mount.source[0] == '/' && stat(mount.source.c_str(), &st) == 0 &&
            S_ISBLK(st.st_mode)) {
            blockDevice = st.st_rdev;
            haveBlockDevice = true;
        }
    }
    if (any(kRemote)) return DRIVE_REMOTE;
    if (any(kOptical)) return DRIVE_CDROM;
    if (any(kRam)) return DRIVE_RAMDISK;
    if (haveBlockDevice) {
        return SysfsRemovable(major(blockDevice), minor(blockDevice)) ? DRIVE_REMOVABLE
                                                                       : DRIVE_FIXED;
    }
    // A FUSE driver serving an image file stands for a volume that comes and goes.
    if (mount.fsType == "fuse" || mount.fsType == "fuseblk" || mount.fsType.starts_with("fuse.")) {
        return DRIVE_REMOVABLE;
    }
    return DRIVE_FIXED;
}

}  // namespace

std::string WindowsFileSystemName(std::string_view type, std::string_view version) {
    std::string t = Lower(type);
    if (t == "vfat" || t == "msdos" || t == "fat") {
        std::string v = Lower(version);
        if (v == "fat12" || v == "fat16") return "FAT";
        if (v == "fat32") return "FAT32";
        return {};
    }
    if (t == "exfat") return "exFAT";
    if (t == "ntfs" || t == "ntfs3") return "NTFS";
    if (t == "iso9660") return "CDFS";
    if (t == "udf") return "UDF";
    return std::string(type);
}

std::string FatNameForClusterCount(std::uint64_t clusters) {
    return clusters < 65525 ? "FAT" : "FAT32";
}

std::string FormatVolumeNumber(std::uint32_t number) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X-%04X", number >> 16, number & 0xFFFF);
    return text;
}

std::optional<std::uint32_t> VolumeNumberFromUuid(std::string_view uuid) {
    std::string digits;
    if (uuid.size() == 9 && uuid[4] == '-') {
        digits = std::string(uuid.substr(0, 4)) + std::string(uuid.substr(5));
    } else if (uuid.size() == 16) {
        digits = std::string(uuid.substr(8));
    } else {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(d);
    }
    return value;
}

std::map<std::string, std::string> ParseUdevProperties(std::string_view text) {
    std::map<std::string, std::string> properties;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.starts_with("E:")) continue;
        line.remove_prefix(2);
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        properties[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    return properties;
}

TDiskInfo::TDiskInfo(TComponent* owner) : TComponent(owner) {}

void TDiskInfo::Clear() {
    driveType_ = DRIVE_NO_ROOT_DIR;
    ready_ = false;
    fileSystemName_.clear();
    volumeLabel_.clear();
    volumeNumber_ = 0;
    volumeNumberFmt_.clear();
    serialNumber_.clear();
}

void TDiskInfo::SetRootFolder(const std::string& rootFolder) {
    rootFolder_ = rootFolder;
    Clear();
    if (rootFolder.empty()) return;

    std::error_code ec;
    std::filesystem::path folder = std::filesystem::canonical(rootFolder, ec);
    if (ec || !std::filesystem::is_directory(folder, ec)) return;  // no root folder
    std::optional<TMountEntry> mount = MountOf(folder.string());
    if (!mount) {
        driveType_ = DRIVE_UNKNOWN;
        return;
    }
    dev_t blockDevice{};
    bool haveBlockDevice = false;
    driveType_ = DriveTypeOf(*mount, blockDevice, haveBlockDevice);

    if (driveType_ == DRIVE_REMOVABLE || driveType_ == DRIVE_CDROM) {
        // A removable volume is ready only when it answers a size query.
        struct statvfs sv {};
        ready_ = statvfs(folder.c_str(), &sv) == 0;
    } else {
        ready_ = true;
    }

    if (ready_) {
        TProbe probe;
        std::string name;
        if (haveBlockDevice &&
            ProbeUdev(udevDataFolder_, major(blockDevice), minor(blockDevice), probe)) {
            name = WindowsFileSystemName(probe.type, probe.version);
        }
        if (name.empty()) {
            probe = TProbe{};
            if (ProbeSource(mount->source, probe)) {
                name = WindowsFileSystemName(probe.type, probe.version);
            }
        }
        if (name.empty()) {
            probe = TProbe{};
            ProbeMountedFolder(folder.string(), mount->fsType, probe, name);
        }
        fileSystemName_ = name;
        volumeLabel_ = probe.label;
        volumeNumber_ = VolumeNumberFromUuid(probe.uuid).value_or(0);
        volumeNumberFmt_ = FormatVolumeNumber(volumeNumber_);
        serialNumber_ = probe.serial;
        if (serialNumber_.empty() && haveBlockDevice) {
            serialNumber_ = SysfsSerial(major(blockDevice), minor(blockDevice));
        }
    }
    if (onChangeLetter_) onChangeLetter_(this);
}

}  // namespace kavo
