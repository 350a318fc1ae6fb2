// The station's hotplug: inotify on the folders of the slot paths (a /dev/serial/by-path link, a
// device node, a simulator's link) and on the firmware file, and where udev runs also its monitor
// of tty devices, whose events come once udev has made the device's links; nothing is polled.
//
// A folder that is not there yet (/dev/serial/by-path before the first USB serial device) is
// waited for through a watch on the nearest folder above it, and one that goes away (udev
// removes an empty /dev/serial/by-path) is waited for again from above.
//
// THotplug tells what happened as events; what they mean for the slots is the station's.
//
// Thread safety: a THotplug belongs to the station's thread.
#pragma once

#include "platform/unique_fd.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace kavo::station {

struct THotplugEvent {
    enum class TKind {
        entry,            // a name in a watched folder came, went or changed: `folder`, `name`
        lookAgain,        // a folder came or went: any slot's device may have come or gone
        deviceAdded,      // udev set up a serial device; `path` is its by-path link
        firmwareChanged,  // the firmware file changed on disk
    };
    TKind kind = TKind::lookAgain;
    std::string folder, name, path;
};

class THotplug {
public:
    // `say` hears the lines for the operator (a watch that cannot be placed).
    explicit THotplug(std::function<void(const std::string&)> say);
    ~THotplug();
    THotplug(const THotplug&) = delete;
    THotplug& operator=(const THotplug&) = delete;

    // Opens inotify; false (errno set) when it cannot.
    bool Open();
    void WatchFirmware(const std::string& path);
    // Opens udev's monitor where udev runs; false (the folders' watches alone) otherwise.
    bool OpenUdevMonitor();
    // Watches `folder` for its names, or the nearest folder above it until it comes.
    void WatchFolder(const std::string& folder);

    int InotifyFd() const { return inotify_.Get(); }
    int UdevFd() const;  // -1 without udev's monitor

    // The events waiting on each descriptor, in order.
    std::vector<THotplugEvent> ReadInotify();
    std::vector<THotplugEvent> ReadUdev();

private:
    void WatchWanted();

    struct TUdevRelease {
        void operator()(udev* handle) const;
        void operator()(udev_monitor* handle) const;
    };

    std::function<void(const std::string&)> say_;
    TUniqueFd inotify_;
    int firmwareWatch_ = -1;
    std::map<int, std::string> watches_;  // inotify watch -> folder
    std::set<std::string> wanted_;        // the folders asked for
    std::unique_ptr<udev, TUdevRelease> udev_;
    std::unique_ptr<udev_monitor, TUdevRelease> monitor_;  // tty devices as udev has set them up
};

// The /dev/serial/by-path link among a udev device's DEVLINKS (blank-separated); "" when none.
std::string ByPathLink(const std::string& devlinks);

}  // namespace kavo::station
