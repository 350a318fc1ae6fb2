#include "station/hotplug.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace kavo::station {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kFirmwareEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// Whether udev runs here (its control socket is there): then its monitor tells of serial
// devices, and /dev/serial/by-path comes with the first USB one.
bool UdevRuns() { return ::access("/run/udev/control", F_OK) == 0; }

// `folder` itself when it is there, else the nearest folder above it.
std::string NearestFolder(const std::string& folder) {
    std::error_code ec;
    fs::path at = folder;
    while (!fs::is_directory(at, ec) && at.has_relative_path()) at = at.parent_path();
    return at.empty() ? std::string(".") : at.string();
}

// A change of the file's contents or its removal; a change of its attributes alone is none.
bool FirmwareChanged(std::uint32_t mask) {
    if (!(mask & kFirmwareEvents)) return false;
    return !(mask & IN_ATTRIB) || (mask & ~IN_ATTRIB);
}

}  // namespace

void THotplug::TUdevRelease::operator()(udev* handle) const { udev_unref(handle); }
void THotplug::TUdevRelease::operator()(udev_monitor* handle) const { udev_monitor_unref(handle); }

THotplug::THotplug(std::function<void(const std::string&)> say) : say_(std::move(say)) {}

THotplug::~THotplug() = default;

bool THotplug::Open() {
    inotify_.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    return static_cast<bool>(inotify_);
}

void THotplug::WatchFirmware(const std::string& path) {
    firmwareWatch_ = ::inotify_add_watch(inotify_.Get(), path.c_str(), kFirmwareEvents);
}

bool THotplug::OpenUdevMonitor() {
    if (!UdevRuns()) return false;  // the folders' watches alone
    udev_.reset(udev_new());
    if (udev_) monitor_.reset(udev_monitor_new_from_netlink(udev_.get(), "udev"));
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_.get()) < 0) {
        say_("udev's monitor cannot be used; watching the slots' folders alone");
        monitor_.reset();
        return false;
    }
    // Its socket is blocking by default; the loop reads it only when poll says so, until empty.
    const int fd = udev_monitor_get_fd(monitor_.get());
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

int THotplug::UdevFd() const { return monitor_ ? udev_monitor_get_fd(monitor_.get()) : -1; }

void THotplug::WatchFolder(const std::string& folder) {
    wanted_.insert(folder.empty() ? std::string(".") : folder);  // a slot path without a folder
    WatchWanted();
}

void THotplug::WatchWanted() {
    const auto watched = [this](const std::string& folder) {
        return std::any_of(watches_.begin(), watches_.end(),
                           [&](const auto& watch) { return watch.second == folder; });
    };
    for (const std::string& folder : wanted_) {
        // A folder made below the one just watched before its watch was in place gives no event,
        // and one removed in between cannot be watched: look again until the nearest folder
        // stays the same.
        for (std::string at = NearestFolder(folder);;) {
            if (!watched(at)) {
                const int wd = ::inotify_add_watch(inotify_.Get(), at.c_str(), kFolderEvents);
                const int error = errno;
                if (wd >= 0) {
                    watches_[wd] = at;
                } else if ((error != ENOENT && error != ENOTDIR) || NearestFolder(folder) == at) {
                    say_("cannot watch " + at + ": " + std::strerror(error));
                    break;
                }
            }
            const std::string now = NearestFolder(folder);
            if (now == at) break;
            at = now;
        }
    }
}

std::vector<THotplugEvent> THotplug::ReadInotify() {
    using TKind = THotplugEvent::TKind;
    std::vector<THotplugEvent> events;
    alignas(inotify_event) char buffer[8192];
    ssize_t count;
    while ((count = ::read(inotify_.Get(), buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->wd == firmwareWatch_) {
                if (FirmwareChanged(event->mask)) events.push_back({TKind::firmwareChanged, {}, {}, {}});
                continue;
            }
            const auto folder = watches_.find(event->wd);
            if (folder == watches_.end()) continue;
            if (event->mask & IN_IGNORED) {
                // The folder went away: wait for it to come back, from the folder above.
                watches_.erase(folder);
                WatchWanted();
                events.push_back({TKind::lookAgain, {}, {}, {}});
            } else if (event->len > 0 && (event->mask & IN_ISDIR)) {
                // Perhaps a folder on the way to a slot's folder: watch further down; the slots'
                // links may have come before the watch.
                WatchWanted();
                events.push_back({TKind::lookAgain, {}, {}, {}});
            } else if (event->len > 0) {
                events.push_back({TKind::entry, folder->second, event->name, {}});
            }
        }
    }
    return events;
}

std::vector<THotplugEvent> THotplug::ReadUdev() {
    std::vector<THotplugEvent> events;
    while (udev_device* device = udev_monitor_receive_device(monitor_.get())) {
        // udev sends the event once its rules ran: the device's links are there (or gone).
        const char* links = udev_device_get_property_value(device, "DEVLINKS");
        const char* action = udev_device_get_action(device);
        const std::string link = links ? ByPathLink(links) : std::string();
        if (!link.empty() && action && std::string(action) == "add") {
            events.push_back({THotplugEvent::TKind::deviceAdded, {}, {}, link});
        }
        udev_device_unref(device);
    }
    events.push_back({THotplugEvent::TKind::lookAgain, {}, {}, {}});
    return events;
}

std::string ByPathLink(const std::string& devlinks) {
    std::size_t at = 0;
    while (at < devlinks.size()) {
        std::size_t end = devlinks.find(' ', at);
        if (end == std::string::npos) end = devlinks.size();
        const std::string link = devlinks.substr(at, end - at);
        if (link.rfind("/dev/serial/by-path/", 0) == 0 && link.size() > 20) return link;
        at = end + 1;
    }
    return {};
}

}  // namespace kavo::station
