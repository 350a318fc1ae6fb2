#include "station/station.h"

#include "app/json_text.h"
#include "station/results_log.h"
#include "station/slot.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <libudev.h>
#include <map>
#include <memory>
#include <set>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kavo::station {
namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0, kExitSomeFailed = 2, kExitOtherError = 9;
// A single run in USB storage mode ends with this when its terminal took the firmware.
constexpr int kExitVolumeGone = 1;
// A device whose node is there but cannot be opened yet (udev still setting its mode) is tried
// again this often, a few times.
constexpr int kOpenRetryMs = 200;
constexpr int kOpenTries = 25;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;  // follows a link: a dangling one is no device
}

bool Openable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// The outcome text of a child's end line: "kavodown: transfer failed: ..." -> "transfer failed: ...".
std::string OutcomeText(bool flashed, int code, const std::string& line) {
    if (flashed) return "flashed";
    std::string text = line;
    if (text.rfind("kavodown: ", 0) == 0) text = text.substr(10);
    return text.empty() ? "ended with code " + std::to_string(code) : text;
}

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Whether udev runs here (its control socket is there): then its monitor tells of serial
// devices, and /dev/serial/by-path comes with the first USB one.
bool UdevRuns() { return ::access("/run/udev/control", F_OK) == 0; }

// Without a pidfd a child's end is looked for this often.
constexpr int kReapPollMs = 200;

struct TChild {
    pid_t pid = -1;
    int pidfd = -1;
    int out = -1;            // its --progress json stream
    std::string pending;     // an unfinished line
    bool ended = false;      // the end object came
    int endCode = 0;
    std::string endLine, endSha;
    std::int64_t errors = 0;  // block errors, as its last report counted them
};

class TStation {
public:
    TStation(const TStationOptions& options, const TFirmwareImage& image, std::string program,
             const TStationHooks& hooks)
        : options_(options), image_(image), program_(std::move(program)), hooks_(hooks) {}
    ~TStation();

    int Run();

private:
    bool Prepare();
    void Say(const std::string& slot, const std::string& text);
    void AddSlot(const std::string& path);
    void OpenUdevMonitor();
    void ReadUdevMonitor();
    void WatchFolder(const std::string& folder);
    void WatchWanted();
    void CheckSlots();
    void ReadInotify();
    void FolderEvent(const std::string& folder, const std::string& name, std::uint32_t mask);
    void CheckSlot(TSlot& slot);
    void StartUnits();
    bool Spawn(std::size_t index);
    void ReadChild(std::size_t index);
    void ChildLine(std::size_t index, const std::string& line);
    void Reap(std::size_t index);
    void Finish(std::size_t index, int code, const std::string& line);
    void Stop(int signalNumber);
    void StartPresent();
    void TakeRequests();
    bool Over() const;
    // Whether a child's exit code is a flashed unit's.
    bool Flashed(int code) const { return code == (options_.usb ? kExitVolumeGone : kExitOk); }
    int ExitCode() const;
    void Notify(std::size_t index);
    void NotifyCounters();

    TStationOptions options_;
    const TFirmwareImage& image_;
    std::string program_;
    TStationHooks hooks_;
    // By slot index: the USB serial number while present; the last finished unit's duration
    // and exit code.
    std::vector<std::string> serials_;
    std::vector<std::int64_t> durations_;
    std::vector<int> codes_;
    std::int64_t sinceMs_ = NowMs();
    std::string privateDir_, snapshot_;
    TResultsLog log_;
    std::vector<TSlot> slots_;
    std::vector<std::unique_ptr<TChild>> children_;  // by slot index; null when none runs
    std::vector<std::int64_t> openRetryAt_;            // by slot index; 0: none pending
    std::vector<int> openTries_;
    std::map<int, std::string> watches_;  // inotify watch -> folder
    // The slots' folders. One that is not there yet (/dev/serial/by-path before the first USB
    // serial device) is waited for through a watch on the nearest folder above it.
    std::set<std::string> wanted_;
    std::string defaultFolder_;           // without slots: every USB serial device here
    int inotify_ = -1, signals_ = -1, firmwareWatch_ = -1;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;  // tty devices as udev has set them up; null without udev
    int started_ = 0, finished_ = 0, failed_ = 0;
    int stopSignal_ = 0;
    bool stopping_ = false;
    bool stoppedRunning_ = false;
    sigset_t oldMask_{};
};

TStation::~TStation() {
    for (auto& child : children_) {
        if (child && child->out >= 0) ::close(child->out);
        if (child && child->pidfd >= 0) ::close(child->pidfd);
    }
    if (inotify_ >= 0) ::close(inotify_);
    if (signals_ >= 0) ::close(signals_);
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    if (hooks_.takeSignals) ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    if (!privateDir_.empty()) {
        std::error_code ec;
        fs::remove_all(privateDir_, ec);
    }
}

void TStation::Say(const std::string& slot, const std::string& text) {
    std::fprintf(stderr, "kavodown station: %s%s%s\n", slot.c_str(), slot.empty() ? "" : ": ",
                 text.c_str());
    std::fflush(stderr);
    if (slot.empty() && hooks_.observer) hooks_.observer->StationSaid(text);
}

bool TStation::Prepare() {
    if (hooks_.takeSignals) {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &mask, &oldMask_);
        signals_ = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if ((hooks_.takeSignals && signals_ < 0) || inotify_ < 0) {
        Say("", std::string("cannot watch signals or devices: ") + std::strerror(errno));
        return false;
    }

    // The children's firmware: a read-only copy in a folder of our own, written once.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string pattern = std::string(runtime && *runtime == '/' ? runtime : "/tmp") +
                          "/kavodown-station-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        Say("", "cannot make a private folder in " + pattern + ": " + std::strerror(errno));
        return false;
    }
    privateDir_ = pattern;
    snapshot_ = privateDir_ + "/" + fs::path(image_.path).filename().string();
    {
        std::ofstream out(snapshot_, std::ios::binary);
        out.write(image_.bytes.data(), static_cast<std::streamsize>(image_.bytes.size()));
        if (!out.flush()) {
            Say("", "cannot write the firmware's copy " + snapshot_);
            return false;
        }
    }
    ::chmod(snapshot_.c_str(), 0400);

    const std::string resultsPath =
        options_.resultsPath.empty() ? DefaultResultsPath() : options_.resultsPath;
    const std::string error = log_.Open(resultsPath);
    if (!error.empty()) {
        Say("", error);
        return false;
    }

    firmwareWatch_ = ::inotify_add_watch(inotify_, image_.path.c_str(),
                                         IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                             IN_MOVE_SELF);
    OpenUdevMonitor();
    if (options_.slotPaths.empty()) {
        defaultFolder_ = fs::is_directory("/dev/serial/by-path") || monitor_ ? "/dev/serial/by-path" : "/dev";
        WatchFolder(defaultFolder_);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(defaultFolder_, ec)) {
            const std::string name = entry.path().filename().string();
            if (defaultFolder_ != "/dev" || name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
                AddSlot(entry.path().string());
            }
        }
    } else {
        for (const std::string& path : options_.slotPaths) AddSlot(path);
    }
    std::vector<std::size_t> presentAtStart;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        TSlot& slot = slots_[i];
        if (!Exists(slot.device)) continue;
        slot.Appeared();
        if (!options_.startPresent) {
            // A device that is there from the start (a fixed port) is no plug-in: it starts
            // only with the option, or when it is plugged in again.
            slot.state = TSlotState::waiting;
            presentAtStart.push_back(i);
        }
    }
    // Said once the devices there at start-up are known: whatever appears from now on is a
    // plug-in (a script that plugs in on this line must not see its unit taken as present).
    Say("", "firmware " + image_.path + ", " + std::to_string(image_.bytes.size()) +
                " bytes, SHA-256 " + image_.sha256 + "; results in " + log_.Path() + "; " +
                (options_.slotPaths.empty() ? "every USB serial device in " + defaultFolder_
                                        : std::to_string(slots_.size()) + " slot(s)"));
    for (std::size_t i : presentAtStart) {
        Say(slots_[i].name, "present at start-up; waiting for it to be plugged in again "
                            "(--start-present starts it at once)");
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) Notify(i);
    NotifyCounters();
    return true;
}

void TStation::AddSlot(const std::string& path) {
    for (const TSlot& slot : slots_) {
        if (slot.device == path) return;
    }
    TSlot slot;
    slot.device = path;
    slot.name = fs::path(path).filename().string();
    slots_.push_back(slot);
    serials_.emplace_back();
    durations_.push_back(0);
    codes_.push_back(0);
    children_.emplace_back();
    openRetryAt_.push_back(0);
    openTries_.push_back(0);
    WatchFolder(fs::path(path).parent_path().string());
    Notify(slots_.size() - 1);
}

void TStation::Notify(std::size_t index) {
    if (!hooks_.observer) return;
    const TSlot& slot = slots_[index];
    TSlotView view;
    view.index = index;
    view.name = slot.name;
    view.device = slot.device;
    view.serial = serials_[index];
    view.state = slot.state;
    view.present = slot.present;
    view.percent = slot.percent;
    view.reason = slot.reason;
    view.startMs = slot.running ? slot.unitStartMs : 0;
    view.durationMs = durations_[index];
    view.code = codes_[index];
    hooks_.observer->SlotChanged(view);
}

void TStation::NotifyCounters() {
    if (!hooks_.observer) return;
    TStationCounters counters;
    counters.done = finished_ - failed_;
    counters.failed = failed_;
    counters.sinceMs = sinceMs_;
    hooks_.observer->CountersChanged(counters);
}

void TStation::OpenUdevMonitor() {
    if (!UdevRuns()) return;  // the folders' watches alone
    udev_ = udev_new();
    if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        Say("", "udev's monitor cannot be used; watching the slots' folders alone");
        if (monitor_) udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return;
    }
    // Its socket is blocking by default; the loop reads it only when poll says so, until empty.
    const int fd = udev_monitor_get_fd(monitor_);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void TStation::ReadUdevMonitor() {
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        // udev sends the event once its rules ran: the device's links are there (or gone).
        const char* links = udev_device_get_property_value(device, "DEVLINKS");
        if (options_.slotPaths.empty() && links) {
            const std::string link = ByPathLink(links);
            const char* action = udev_device_get_action(device);
            if (!link.empty() && action && std::string(action) == "add") AddSlot(link);
        }
        udev_device_unref(device);
    }
    CheckSlots();
}

void TStation::WatchFolder(const std::string& folder) {
    wanted_.insert(folder.empty() ? std::string(".") : folder);  // a slot path without a folder
    WatchWanted();
}

void TStation::WatchWanted() {
    const auto nearest = [](const std::string& folder) {
        std::error_code ec;
        fs::path at = folder;
        while (!fs::is_directory(at, ec) && at.has_relative_path()) at = at.parent_path();
        return at.empty() ? std::string(".") : at.string();
    };
    const auto watched = [this](const std::string& folder) {
        return std::any_of(watches_.begin(), watches_.end(),
                           [&](const auto& watch) { return watch.second == folder; });
    };
    for (const std::string& folder : wanted_) {
        // A folder made below the one just watched before its watch was in place gives no event,
        // and one removed in between cannot be watched: look again until the nearest folder
        // stays the same.
        for (std::string at = nearest(folder);;) {
            if (!watched(at)) {
                const int wd = ::inotify_add_watch(inotify_, at.c_str(),
                                                   IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                                       IN_ATTRIB | IN_DELETE_SELF | IN_ONLYDIR);
                const int error = errno;
                if (wd >= 0) {
                    watches_[wd] = at;
                } else if ((error != ENOENT && error != ENOTDIR) || nearest(folder) == at) {
                    Say("", "cannot watch " + at + ": " + std::strerror(error));
                    break;
                }
            }
            const std::string now = nearest(folder);
            if (now == at) break;
            at = now;
        }
    }
}

void TStation::CheckSlots() {
    for (TSlot& slot : slots_) CheckSlot(slot);
}

void TStation::ReadInotify() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(inotify_, buffer, sizeof buffer);
        if (count <= 0) return;
        for (ssize_t at = 0; at < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->wd == firmwareWatch_) {
                if (event->mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF)) {
                    if (event->mask & IN_ATTRIB && !(event->mask & ~IN_ATTRIB)) continue;
                    Say("", "the firmware file " + image_.path +
                                " changed on disk; every unit still gets the image read at start "
                                "(SHA-256 " + image_.sha256 + "); restart the station to use the new one");
                    if (hooks_.observer) hooks_.observer->FirmwareChanged();
                }
                continue;
            }
            const auto folder = watches_.find(event->wd);
            if (folder == watches_.end()) continue;
            if (event->mask & IN_IGNORED) {
                // The folder went away (udev removes an empty /dev/serial/by-path): wait for it
                // to come back, from the folder above.
                watches_.erase(folder);
                WatchWanted();
                CheckSlots();
                continue;
            }
            if (event->len == 0) continue;
            if (event->mask & IN_ISDIR) {
                // Perhaps a folder on the way to a slot's folder: watch further down, and look
                // at the slots, whose links may have come before the watch.
                WatchWanted();
                CheckSlots();
                continue;
            }
            FolderEvent(folder->second, event->name, event->mask);
        }
    }
}

void TStation::FolderEvent(const std::string& folder, const std::string& name, std::uint32_t) {
    const std::string path = folder + "/" + name;
    if (folder == defaultFolder_ &&
        (folder != "/dev" || name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0)) {
        AddSlot(path);
    }
    for (TSlot& slot : slots_) {
        if (slot.device == path) CheckSlot(slot);
    }
}

void TStation::CheckSlot(TSlot& slot) {
    const bool there = Exists(slot.device);
    if (there == slot.present) return;
    const std::size_t index = static_cast<std::size_t>(&slot - slots_.data());
    if (there) {
        slot.Appeared();
        serials_[index] = UsbIdentityOf(slot.device).serial;
        Say(slot.name, "plugged in (" + slot.device + ")");
    } else {
        slot.Gone();
        serials_[index].clear();
        Say(slot.name, "unplugged");
    }
    Notify(index);
}

void TStation::StartUnits() {
    if (stopping_) return;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        TSlot& slot = slots_[i];
        if (!slot.CanStart()) continue;
        if (slot.attempts == 0 && options_.units > 0 && started_ >= options_.units) continue;
        if (openRetryAt_[i] > NowMs()) continue;
        if (!Openable(slot.device)) {
            if (++openTries_[i] < kOpenTries) {
                openRetryAt_[i] = NowMs() + kOpenRetryMs;
                continue;
            }
        }
        openRetryAt_[i] = 0;
        openTries_[i] = 0;
        if (slot.attempts == 0) ++started_;
        if (!Spawn(i)) {
            slot.Started(NowMs());
            Finish(i, kExitOtherError, "kavodown: the slot's run could not be started");
        }
    }
}

bool TStation::Spawn(std::size_t index) {
    TSlot& slot = slots_[index];
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    const std::string configDir = privateDir_ + "/slot" + std::to_string(index + 1);
    std::error_code ec;
    fs::create_directories(configDir, ec);

    std::vector<std::string> args{program_, "--batch", "--device", slot.device, "--progress",
                                  "json", "--silence-limit",
                                  std::to_string(options_.silenceLimitSeconds)};
    if (options_.ddd) args.push_back("--ddd");
    if (options_.usb) args.push_back("--same-usb-device");
    args.push_back(snapshot_);
    if (options_.usb) args.push_back("USB");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (entry.rfind("KAVODOWN_CONFIG_DIR=", 0) == 0 || entry.rfind("QT_QPA_PLATFORM=", 0) == 0) continue;
        envStrings.push_back(entry);
    }
    // A settings folder per slot: the children never write one file at the same time.
    envStrings.push_back("KAVODOWN_CONFIG_DIR=" + configDir);
    envStrings.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own process group: a Ctrl-C at the terminal reaches the station, which stops the
    // children itself and records them.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program_.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        return false;
    }
    auto child = std::make_unique<TChild>();
    child->pid = pid;
    child->pidfd = OpenPidfd(pid);
    child->out = pipeFds[0];
    ::fcntl(child->out, F_SETFL, O_NONBLOCK);
    children_[index] = std::move(child);
    slot.Started(NowMs());
    Say(slot.name, slot.attempts > 1 ? "retrying (attempt " + std::to_string(slot.attempts) + ")"
                                     : std::string(options_.ddd ? "waking the loader" : "starting"));
    Notify(index);
    return true;
}

void TStation::ReadChild(std::size_t index) {
    TChild& child = *children_[index];
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(child.out, buffer, sizeof buffer);
        if (count > 0) {
            child.pending.append(buffer, static_cast<std::size_t>(count));
            std::size_t newline;
            while ((newline = child.pending.find('\n')) != std::string::npos) {
                const std::string line = child.pending.substr(0, newline);
                child.pending.erase(0, newline + 1);
                ChildLine(index, line);
            }
            continue;
        }
        if (count == 0) {
            ::close(child.out);
            child.out = -1;
        }
        return;
    }
}

void TStation::ChildLine(std::size_t index, const std::string& line) {
    const auto members = ParseFlatJsonObject(line);
    if (!members) return;
    TChild& child = *children_[index];
    TSlot& slot = slots_[index];
    const std::string event = JsonText(*members, "event");
    child.errors = JsonInteger(*members, "errors", child.errors);
    if (event == "progress") {
        const bool first = slot.state != TSlotState::sending;
        const int before = slot.percent;
        slot.Progress(static_cast<int>(JsonInteger(*members, "percent")));
        if (first) Say(slot.name, "sending " + std::to_string(JsonInteger(*members, "size")) + " bytes");
        if (first || slot.percent != before) Notify(index);
    } else if (event == "end") {
        child.ended = true;
        child.endCode = static_cast<int>(JsonInteger(*members, "code", kExitOtherError));
        child.endLine = JsonText(*members, "outcome");
        child.endSha = JsonText(*members, "sha256");
    }
}

void TStation::Reap(std::size_t index) {
    if (!children_[index]) return;
    TChild& child = *children_[index];
    int status = 0;
    const pid_t pid = ::waitpid(child.pid, &status, WNOHANG);
    if (pid != child.pid) return;
    if (child.out >= 0) ReadChild(index);  // what it wrote before it ended
    int code = kExitOtherError;
    std::string line;
    if (WIFEXITED(status)) {
        code = WEXITSTATUS(status);
        line = child.ended ? child.endLine : std::string();
        if (Flashed(code) && (!child.ended || child.endSha != image_.sha256)) {
            code = kExitOtherError;
            line = "kavodown: the image sent (SHA-256 " +
                   (child.endSha.empty() ? std::string("unknown") : child.endSha) +
                   ") is not the station's";
        }
    } else if (WIFSIGNALED(status)) {
        line = "kavodown: the slot's run crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    Finish(index, code, line);
}

void TStation::Finish(std::size_t index, int code, const std::string& line) {
    TSlot& slot = slots_[index];
    const std::int64_t blockErrors = children_[index] ? children_[index]->errors : 0;
    if (children_[index] && children_[index]->out >= 0) ::close(children_[index]->out);
    if (children_[index] && children_[index]->pidfd >= 0) ::close(children_[index]->pidfd);
    children_[index].reset();
    const std::int64_t duration = NowMs() - slot.unitStartMs;
    const bool stopped = stopping_;
    const bool flashed = Flashed(code);
    std::string outcome = OutcomeText(flashed, code, line);
    if (stopped && !flashed) outcome = "stopped: " + outcome;
    if (!slot.Ended(flashed, outcome, stopped ? 0 : options_.retries)) {
        Say(slot.name, "failed (" + outcome + "); trying again");
        Notify(index);
        return;
    }
    if (stopped && !flashed) slot.state = TSlotState::stopped;
    ++finished_;
    if (!flashed) ++failed_;
    durations_[index] = duration;
    codes_[index] = code;
    Notify(index);
    NotifyCounters();

    TUnitRecord record;
    record.slot = slot.name;
    record.device = slot.device;
    const TUsbIdentity usb = UsbIdentityOf(slot.device);
    record.usbVendor = usb.vendor;
    record.usbProduct = usb.product;
    record.usbSerial = usb.serial;
    record.firmware = image_.path;
    record.size = static_cast<std::int64_t>(image_.bytes.size());
    record.sha256 = image_.sha256;
    record.code = code;
    record.outcome = outcome;
    record.durationMs = duration;
    record.blockErrors = blockErrors;
    const std::string error = log_.Append(record);
    if (!error.empty()) Say(slot.name, error);
    SendToJournal(record);
    const std::string json = JsonLine(record) + "\n";
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fflush(stdout);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(duration) / 1000.0);
    Say(slot.name, (flashed ? "done in " + std::string(seconds) : "failed: " + outcome) +
                       (error.empty() ? "" : " (not recorded)"));
}

void TStation::Stop(int signalNumber) {
    if (stopping_) return;
    stopping_ = true;
    stopSignal_ = signalNumber;
    int running = 0;
    for (auto& child : children_) {
        if (!child) continue;
        ++running;
        // The child's own stop: it cancels the transfer and ends with 128 + n.
        ::kill(child->pid, SIGTERM);
    }
    stoppedRunning_ = running > 0;
    Say("", std::string("stopped by ") +
                (signalNumber == 0 ? "the operator" : signalNumber == SIGINT ? "SIGINT" : "SIGTERM") +
                "; " + std::to_string(running) + " running unit(s) cancelled");
}

void TStation::StartPresent() {
    if (stopping_) return;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        TSlot& slot = slots_[i];
        if (!slot.present || slot.running || slot.state != TSlotState::waiting) continue;
        slot.state = TSlotState::ready;
        slot.attempts = 0;
        slot.reason.clear();
        slot.percent = 0;
        Notify(i);
    }
}

void TStation::TakeRequests() {
    if (!hooks_.control) return;
    const TStationControl::TRequests requests = hooks_.control->Take();
    if (requests.startPresent) StartPresent();
    if (requests.stop) Stop(requests.signalNumber);
}

bool TStation::Over() const {
    for (const auto& child : children_) {
        if (child) return false;
    }
    if (stopping_) return true;
    return options_.units > 0 && started_ >= options_.units;
}

int TStation::ExitCode() const {
    if (stopSignal_ && stoppedRunning_) return 128 + stopSignal_;
    return failed_ > 0 ? kExitSomeFailed : kExitOk;
}

int TStation::Run() {
    if (!Prepare()) return kExitOtherError;
    // Present at start-up: the serial numbers of what is there already.
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].present) {
            serials_[i] = UsbIdentityOf(slots_[i].device).serial;
            Notify(i);
        }
    }
    const int wake = hooks_.control ? hooks_.control->WakeFd() : -1;
    while (true) {
        TakeRequests();
        StartUnits();
        if (Over()) break;
        // Fixed places: signals, hotplug, requests, udev; then each child's output and its end.
        std::vector<pollfd> fds{{signals_, POLLIN, 0},
                                {inotify_, POLLIN, 0},
                                {wake, POLLIN, 0},
                                {monitor_ ? udev_monitor_get_fd(monitor_) : -1, POLLIN, 0}};
        constexpr std::size_t kFixed = 4;
        std::vector<std::pair<std::size_t, bool>> childOf;  // slot index, true: its pidfd
        bool unwatched = false;
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (!children_[i]) continue;
            if (children_[i]->out >= 0) {
                fds.push_back({children_[i]->out, POLLIN, 0});
                childOf.emplace_back(i, false);
            }
            if (children_[i]->pidfd >= 0) {
                fds.push_back({children_[i]->pidfd, POLLIN, 0});
                childOf.emplace_back(i, true);
            } else {
                unwatched = true;
            }
        }
        int timeout = unwatched ? kReapPollMs : -1;
        for (std::int64_t at : openRetryAt_) {
            if (at == 0) continue;
            const std::int64_t wait = std::max<std::int64_t>(0, at - NowMs());
            if (timeout < 0 || wait < timeout) timeout = static_cast<int>(wait);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        for (std::size_t k = kFixed; k < fds.size(); ++k) {
            if (fds[k].revents && !childOf[k - kFixed].second) ReadChild(childOf[k - kFixed].first);
        }
        for (std::size_t k = kFixed; k < fds.size(); ++k) {
            if (fds[k].revents && childOf[k - kFixed].second) Reap(childOf[k - kFixed].first);
        }
        if (unwatched) {
            for (std::size_t i = 0; i < children_.size(); ++i) {
                if (children_[i] && children_[i]->pidfd < 0) Reap(i);
            }
        }
        if (fds[1].revents) ReadInotify();
        if (fds[3].revents) ReadUdevMonitor();
        if (fds[0].revents) {
            signalfd_siginfo info {};
            while (::read(signals_, &info, sizeof info) == sizeof info) {
                Stop(static_cast<int>(info.ssi_signo));
            }
        }
    }
    Say("", std::to_string(finished_) + " unit(s): " + std::to_string(finished_ - failed_) +
                " flashed, " + std::to_string(failed_) + " failed");
    return ExitCode();
}

}  // namespace

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

TUsbIdentity UsbIdentityOf(const std::string& devicePath, const std::string& sysRoot) {
    return UsbIdentityOfDevice(UsbDeviceOfPort(devicePath, sysRoot));
}

int RunStation(const TStationOptions& options, const TFirmwareImage& image,
               const std::string& program, const TStationHooks& hooks) {
    int code = kExitOtherError;
    {
        TStation station(options, image, program, hooks);
        code = station.Run();
    }  // the private folder is gone before the end is told
    if (hooks.observer) hooks.observer->StationEnded(code);
    return code;
}

double UnitsPerHour(int units, std::int64_t elapsedMs) {
    if (elapsedMs <= 0) return 0.0;
    return static_cast<double>(units) * 3600000.0 / static_cast<double>(elapsedMs);
}

TStationControl::TStationControl() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TStationControl::~TStationControl() {
    if (fd_ >= 0) ::close(fd_);
}

void TStationControl::Wake() {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(fd_, &one, sizeof one);
    (void)ignored;
}

void TStationControl::Stop(int signalNumber) {
    {
        std::lock_guard lock(mutex_);
        if (!pending_.stop) pending_.signalNumber = signalNumber;
        pending_.stop = true;
    }
    Wake();
}

void TStationControl::StartPresent() {
    {
        std::lock_guard lock(mutex_);
        pending_.startPresent = true;
    }
    Wake();
}

TStationControl::TRequests TStationControl::Take() {
    std::uint64_t count = 0;
    ssize_t ignored = ::read(fd_, &count, sizeof count);
    (void)ignored;
    std::lock_guard lock(mutex_);
    TRequests taken = pending_;
    pending_ = {};
    return taken;
}

}  // namespace kavo::station
