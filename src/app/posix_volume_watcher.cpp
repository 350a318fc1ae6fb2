#include "app/volume_watcher.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kavo {

char UnitMaskDriveLetter(std::uint32_t unitMask) {
    for (int bit = 25; bit >= 0; --bit) {
        if (unitMask & (std::uint32_t{1} << bit)) {
            return static_cast<char>('A' + bit);
        }
    }
    return 0;
}

namespace {

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

// Splits at blanks; the table has no empty fields, so runs of blanks count as one.
std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos >= line.size()) break;
        std::size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

bool ParseNumber(std::string_view text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > max) return false;
    value = v;
    return true;
}

bool IsFuseType(std::string_view fsType) {
    return fsType == "fuse" || fsType == "fuseblk" || fsType.starts_with("fuse.");
}

// The file systems of drives. A FUSE mount names its driver after "fuse." (plain "fuse" when the
// driver gives no subtype, as the FAT driver does; "fuseblk" for a driver on a block device).
bool IsDriveFileSystem(std::string_view fsType) {
    static const std::set<std::string_view> drives{
        "vfat",      "msdos",      "exfat",       "ntfs",        "ntfs3",
        "fuse",      "fuseblk",    "fuse.fusefat", "fuse.exfat", "fuse.ntfs-3g",
        "fuse.ntfs", "fuse.lowntfs-3g"};
    return drives.contains(fsType);
}

std::string ReadSmallFile(const std::string& path) {
    const TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    char buffer[64];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

TDiskKind BlockDeviceKind(unsigned major, unsigned minor) {
    const std::string link = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return TDiskKind::unknown;
    const std::string path(target, static_cast<std::size_t>(n));
    if (path.find("/virtual/block/loop") != std::string::npos) return TDiskKind::image;
    if (path.find("/usb") != std::string::npos) return TDiskKind::removable;
    // A partition has no flag of its own; its disk (the folder above) has.
    for (const std::string& flag : {link + "/removable", link + "/../removable"}) {
        if (ReadSmallFile(flag).starts_with("1")) return TDiskKind::removable;
    }
    return TDiskKind::fixed;
}

}  // namespace

char BroadcastDriveLetter(std::span<const std::uint8_t> record) {
    if (record.size() < 16) return 0;
    if (ReadLe32(record, 4) != DBT_DEVTYP_VOLUME) return 0;
    return UnitMaskDriveLetter(ReadLe32(record, 12));
}

std::string UnescapeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) &&
            IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::optional<TMountEntry> ParseMountInfoLine(std::string_view line) {
    // 36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
    // (1)(2)(3)   (4)   (5)      (6)      (7...)  (8) (9)   (10)         (11)
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> fields = SplitFields(line);
    std::size_t separator = 0;
    for (std::size_t i = 6; i < fields.size(); ++i) {
        if (fields[i] == "-") {
            separator = i;
            break;
        }
    }
    // Six fixed fields before the optional ones, then "-" and at least type and source.
    if (separator < 6 || fields.size() < separator + 3) return std::nullopt;

    TMountEntry entry;
    unsigned long mountId = 0, parentId = 0, major = 0, minor = 0;
    std::string_view device = fields[2];
    std::size_t colon = device.find(':');
    if (!ParseNumber(fields[0], 0x7FFFFFFF, mountId) ||
        !ParseNumber(fields[1], 0x7FFFFFFF, parentId) || colon == std::string_view::npos ||
        !ParseNumber(device.substr(0, colon), 0xFFFFFFFF, major) ||
        !ParseNumber(device.substr(colon + 1), 0xFFFFFFFF, minor)) {
        return std::nullopt;
    }
    entry.mountId = static_cast<int>(mountId);
    entry.parentId = static_cast<int>(parentId);
    entry.major = static_cast<unsigned>(major);
    entry.minor = static_cast<unsigned>(minor);
    entry.root = UnescapeMountField(fields[3]);
    entry.mountPoint = UnescapeMountField(fields[4]);
    entry.mountOptions = std::string(fields[5]);
    entry.fsType = UnescapeMountField(fields[separator + 1]);
    entry.source = UnescapeMountField(fields[separator + 2]);
    if (fields.size() > separator + 3) entry.superOptions = std::string(fields[separator + 3]);
    return entry;
}

std::vector<TMountEntry> ParseMountInfo(std::string_view text) {
    std::vector<TMountEntry> table;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        if (auto entry = ParseMountInfoLine(text.substr(pos, end - pos))) {
            table.push_back(std::move(*entry));
        }
        pos = end + 1;
    }
    return table;
}

TDeviceNumber DiskNumberOf(std::string_view fsType, const std::string& source, unsigned major,
                           unsigned minor) {
    struct stat info {};
    // Pseudo file systems live on anonymous numbers (major 0) and name no device node.
    const bool mayNameNode = IsFuseType(fsType) || (major == 0 && source.starts_with("/dev/"));
    if (mayNameNode && ::stat(source.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) {
        return {::major(info.st_rdev), ::minor(info.st_rdev)};
    }
    return {major, minor};
}

TDiskKind DiskKindOf(const TMountEntry& entry) {
    struct stat info {};
    // A FUSE driver names what it mounts as its source: an image file or a device node.
    if (IsFuseType(entry.fsType) && ::stat(entry.source.c_str(), &info) == 0 &&
        S_ISREG(info.st_mode)) {
        return TDiskKind::image;
    }
    const TDeviceNumber disk = DiskNumberOf(entry.fsType, entry.source, entry.major, entry.minor);
    return disk.major == 0 ? TDiskKind::unknown : BlockDeviceKind(disk.major, disk.minor);
}

bool IsVolumeEntry(const std::vector<TMountEntry>& table, std::size_t index,
                   const TDiskKindOf& kindOf) {
    if (index >= table.size()) return false;
    const TMountEntry& entry = table[index];
    if (!IsDriveFileSystem(entry.fsType)) return false;
    if (entry.root != "/") return false;  // a folder of a file system mounted elsewhere
    // A second mount of the same file system (mount --bind of its root) is not a volume of its
    // own; the first one in the table is.
    for (std::size_t i = 0; i < index; ++i) {
        if (table[i].major == entry.major && table[i].minor == entry.minor) return false;
    }
    const TDiskKind kind = kindOf ? kindOf(entry) : TDiskKind::unknown;
    return kind == TDiskKind::removable || kind == TDiskKind::image;
}

TVolumeNotice VolumeNotice(std::uint32_t event, const TMountEntry& entry) {
    return {event, entry.mountPoint, entry.source, entry.fsType, entry.major, entry.minor, entry.mountId};
}

TVolumePlace UsbPlaceOfVolume(const TVolumeNotice& notice, const std::string& sysRoot) {
    const TDeviceNumber disk = DiskNumberOf(notice.fsType, notice.source, notice.major, notice.minor);
    return UsbPlaceOfBlockDevice(disk.major, disk.minor, sysRoot);
}

std::set<int> VolumeIds(const std::vector<TMountEntry>& table, const TDiskKindOf& kindOf) {
    std::set<int> ids;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (IsVolumeEntry(table, i, kindOf)) ids.insert(table[i].mountId);
    }
    return ids;
}

std::vector<TVolumeNotice> CompareMountTables(const std::vector<TMountEntry>& before,
                                              const std::set<int>& beforeVolumes,
                                              const std::vector<TMountEntry>& after,
                                              const std::set<int>& afterVolumes) {
    std::set<int> beforeIds, afterIds;
    for (const TMountEntry& e : before) beforeIds.insert(e.mountId);
    for (const TMountEntry& e : after) afterIds.insert(e.mountId);

    std::vector<TVolumeNotice> notices;
    for (const TMountEntry& e : before) {
        if (!afterIds.contains(e.mountId) && beforeVolumes.contains(e.mountId)) {
            notices.push_back(VolumeNotice(DBT_DEVICEREMOVECOMPLETE, e));
        }
    }
    for (const TMountEntry& e : after) {
        if (!beforeIds.contains(e.mountId) && afterVolumes.contains(e.mountId)) {
            notices.push_back(VolumeNotice(DBT_DEVICEARRIVAL, e));
        }
    }
    return notices;
}

std::vector<TVolumeNotice> CompareMountTables(const std::vector<TMountEntry>& before,
                                              const std::vector<TMountEntry>& after,
                                              const TDiskKindOf& kindOf) {
    return CompareMountTables(before, VolumeIds(before, kindOf), after, VolumeIds(after, kindOf));
}

std::vector<TVolumeNotice> VolumesWithoutDisk(const std::vector<TMountEntry>& table,
                                              const std::set<int>& volumes,
                                              const std::function<bool(TDeviceNumber)>& diskThere) {
    std::vector<TVolumeNotice> notices;
    for (const TMountEntry& e : table) {
        if (!volumes.contains(e.mountId)) continue;
        const TDeviceNumber disk = DiskNumberOf(e.fsType, e.source, e.major, e.minor);
        if (disk.major != 0 && !diskThere(disk)) notices.push_back(VolumeNotice(DBT_DEVICEREMOVECOMPLETE, e));
    }
    return notices;
}

namespace {

// Whether the system still has the block device.
bool BlockDeviceThere(TDeviceNumber disk) {
    const std::string entry = "/sys/dev/block/" + std::to_string(disk.major) + ":" +
                              std::to_string(disk.minor);
    return ::access(entry.c_str(), F_OK) == 0;
}

// A socket that hears the kernel's device events (the uevent netlink group); -1 where there is
// none (a container's own network namespace hears nothing, which only loses this help).
int OpenDeviceEvents() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's events
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads what the socket holds; whether any of it was a block device's removal.
bool BlockDeviceRemoved(int fd) {
    bool removed = false;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer - 1, 0);
        if (count <= 0) return removed;
        buffer[count] = '\0';
        // "remove@/devices/...", then NUL-separated KEY=value fields.
        if (std::string_view(buffer).starts_with("remove@")) {
            for (ssize_t at = 0; at < count; at += static_cast<ssize_t>(std::strlen(buffer + at)) + 1) {
                if (std::string_view(buffer + at) == "SUBSYSTEM=block") removed = true;
            }
        }
    }
}

// Reads the whole table from the start of an open mountinfo file; false on a read error.
bool ReadTable(int fd, std::string& text) {
    text.clear();
    if (lseek(fd, 0, SEEK_SET) < 0) return false;
    char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::vector<TVolumeNotice> MountedVolumes(const std::string& mountInfoPath) {
    std::vector<TVolumeNotice> notices;
    const TUniqueFd fd(::open(mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd || !ReadTable(fd.Get(), text)) return notices;
    const std::vector<TMountEntry> table = ParseMountInfo(text);
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (IsVolumeEntry(table, i)) notices.push_back(VolumeNotice(DBT_DEVICEARRIVAL, table[i]));
    }
    return notices;
}

bool StillMounted(const TVolumeNotice& notice) {
    struct stat info {};
    return ::stat(notice.rootFolder.c_str(), &info) == 0 &&
           info.st_dev == makedev(notice.major, notice.minor);
}

TVolumeWatcher::TVolumeWatcher(Callback callback, std::string mountInfoPath)
    : callback_(std::move(callback)), path_(std::move(mountInfoPath)) {
    window_ = CreateMessageWindow(
        [this](std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
            return HandleMessage(msg, wParam, lParam);
        });
}

TVolumeWatcher::~TVolumeWatcher() {
    Stop();
    DestroyMessageWindow(window_);
}

bool TVolumeWatcher::Start() {
    if (Running()) return true;
    lastError_.clear();
    TUniqueFd mountFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!mountFd) {
        lastError_ = "cannot open " + path_ + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    if (!ReadTable(mountFd.Get(), text)) {
        lastError_ = "cannot read " + path_ + ": " + std::strerror(errno);
        return false;
    }
    TUniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd) {
        lastError_ = std::string("cannot create an event: ") + std::strerror(errno);
        return false;
    }
    table_ = ParseMountInfo(text);
    volumes_ = VolumeIds(table_);
    mountFd_ = std::move(mountFd);
    wakeFd_ = std::move(wakeFd);
    deviceFd_ = TUniqueFd(OpenDeviceEvents());
    thread_ = std::jthread([this, mountFd = mountFd_.Get(), wakeFd = wakeFd_.Get(),
                            deviceFd = deviceFd_.Get()](std::stop_token stop) {
        Run(std::move(stop), mountFd, wakeFd, deviceFd);
    });
    return true;
}

void TVolumeWatcher::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        std::uint64_t one = 1;
        // The eventfd cannot overflow with one write per stop; a failure would leave the thread
        // in poll(), so it is checked.
        while (write(wakeFd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    mountFd_.Reset();
    wakeFd_.Reset();
    deviceFd_.Reset();
    std::lock_guard lock(mutex_);
    pending_.clear();
}

void TVolumeWatcher::Run(std::stop_token stop, int mountFd, int wakeFd, int deviceFd) {
    while (!stop.stop_requested()) {
        pollfd fds[3] = {{mountFd, POLLPRI, 0}, {wakeFd, POLLIN, 0}, {deviceFd, POLLIN, 0}};
        int n = poll(fds, 3, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nothing sensible left to wait on
        }
        if (fds[1].revents != 0 || stop.stop_requested()) return;
        if ((fds[2].revents & POLLIN) && BlockDeviceRemoved(deviceFd)) {
            // Its mount may stay for good; a volume reported here is not reported again later.
            std::vector<TVolumeNotice> gone = VolumesWithoutDisk(table_, volumes_, BlockDeviceThere);
            for (const TVolumeNotice& notice : gone) volumes_.erase(notice.mountId);
            Post(std::move(gone));
        }
        // A mount table flags a change with POLLERR|POLLPRI; a file that cannot be polled at
        // all would report POLLNVAL forever, so that ends the watch instead of spinning.
        if (fds[0].revents & POLLNVAL) return;
        if (!(fds[0].revents & (POLLPRI | POLLERR))) continue;

        std::string text;
        if (ReadTable(mountFd, text)) TableChanged(ParseMountInfo(text));
    }
}

void TVolumeWatcher::TableChanged(std::vector<TMountEntry> table) {
    // A mount that stays keeps what it was decided to be when it came.
    std::set<int> known, volumes;
    for (const TMountEntry& e : table_) known.insert(e.mountId);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const int id = table[i].mountId;
        if (known.contains(id) ? volumes_.contains(id) : IsVolumeEntry(table, i)) volumes.insert(id);
    }
    std::vector<TVolumeNotice> notices = CompareMountTables(table_, volumes_, table, volumes);
    table_ = std::move(table);
    volumes_ = std::move(volumes);
    Post(std::move(notices));
}

void TVolumeWatcher::Post(std::vector<TVolumeNotice> notices) {
    for (TVolumeNotice& notice : notices) {
        LPARAM number;
        std::uint32_t event = notice.event;
        {
            std::lock_guard lock(mutex_);
            number = nextNumber_++;
            pending_.emplace(number, std::move(notice));
        }
        if (!PostMessage(window_, WM_DEVICECHANGE, event, number)) {
            std::lock_guard lock(mutex_);
            pending_.erase(number);
        }
    }
}

std::optional<TVolumeNotice> TVolumeWatcher::TakeNotice(LPARAM number) {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(number);
    if (it == pending_.end()) return std::nullopt;
    TVolumeNotice notice = std::move(it->second);
    pending_.erase(it);
    return notice;
}

LRESULT TVolumeWatcher::HandleMessage(std::uint32_t msg, WPARAM, LPARAM lParam) {
    if (msg != WM_DEVICECHANGE) return 0;
    std::optional<TVolumeNotice> notice = TakeNotice(lParam);
    if (notice && callback_) callback_(*notice);
    return 0;
}

}  // namespace kavo
