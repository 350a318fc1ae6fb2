#include "station/station.h"

#include "platform/exit_codes.h"
#include "platform/json_text.h"
#include "platform/steady_clock.h"
#include "serial/usb_location.h"
#include "station/hotplug.h"
#include "station/results_log.h"
#include "station/slot.h"
#include "station/unit_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kavo::station {
namespace {

namespace fs = std::filesystem;

// A device whose node is there but cannot be opened yet (udev still setting its mode) is tried
// again this often, a few times.
constexpr int kOpenRetryMs = 200;
constexpr int kOpenTries = 25;
// Without a pidfd a child's end is looked for this often.
constexpr int kReapPollMs = 200;

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;  // follows a link: a dangling one is no device
}

bool Openable(const std::string& path) {
    return static_cast<bool>(TUniqueFd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
}

// Without slots the station takes every USB serial device of its folder: in /dev the USB
// serial and modem-class nodes, in /dev/serial/by-path every link.
bool IsDefaultDevice(const std::string& folder, const std::string& name) {
    return folder != "/dev" || name.starts_with("ttyUSB") || name.starts_with("ttyACM");
}

// The outcome text of a child's end line: "kavodown: transfer failed: ..." -> "transfer failed: ...".
std::string OutcomeText(bool flashed, int code, const std::string& line) {
    if (flashed) return "flashed";
    std::string text = line;
    if (text.starts_with("kavodown: ")) text = text.substr(10);
    return text.empty() ? "ended with code " + std::to_string(code) : text;
}

// Everything the station keeps for one slot.
struct TSlotEntry {
    TSlot slot;
    std::string serial;                   // the unit's USB serial number while present
    std::int64_t durationMs = 0;          // of the last finished unit
    int code = 0;                         // and its exit code
    std::unique_ptr<TUnitProcess> child;  // null when none runs
    std::int64_t openRetryAt = 0;         // when to try opening its device again; 0: none pending
    int openTries = 0;
};

class TStation {
public:
    TStation(const TStationOptions& options, const TStationImage& image, std::string program,
             const TStationHooks& hooks)
        : options_(options), image_(image), program_(std::move(program)), hooks_(hooks),
          hotplug_([this](const std::string& text) { Say("", text); }) {}
    ~TStation();

    int Run();

private:
    // Start-up
    bool Prepare();
    bool TakeSignals();
    bool WriteSnapshot();
    void FindSlots(bool udev);
    std::vector<std::size_t> TakePresentAtStart();
    // The slots and their devices
    void AddSlot(const std::string& path);
    void Handle(const std::vector<THotplugEvent>& events);
    void CheckSlots();
    void CheckSlot(std::size_t index);
    // The units
    void StartUnits();
    bool MayStart(std::size_t index);
    bool StartUnit(std::size_t index);
    std::function<void(const TJsonMembers&)> ProgressOf(std::size_t index);
    void Reap(std::size_t index);
    void Finish(std::size_t index, int code, const std::string& line);
    std::string Record(const TSlotEntry& entry, int code, const std::string& outcome,
                       std::int64_t durationMs, std::int64_t blockErrors);
    // The loop
    bool WaitAndDispatch();
    int PollTimeout(bool unwatched) const;
    void Stop(int signalNumber);
    void StartPresent();
    void TakeRequests();
    bool Over() const;
    int FlashedCode() const { return options_.usb ? kExitVolumeRemoved : kExitOk; }
    int ExitCode() const;
    // What the operator hears and sees
    void Say(const std::string& slot, const std::string& text);
    void Notify(std::size_t index);
    void NotifyCounters();

    TStationOptions options_;
    const TStationImage& image_;
    std::string program_;
    TStationHooks hooks_;
    std::int64_t sinceMs_ = SteadyNowMs();
    std::string privateDir_, snapshot_;
    TResultsLog log_;
    std::vector<TSlotEntry> slots_;
    THotplug hotplug_;
    std::string defaultFolder_;  // without slots: every USB serial device here
    TUniqueFd signals_;
    int started_ = 0, finished_ = 0, failed_ = 0;
    int stopSignal_ = 0;
    bool stopping_ = false;
    bool stoppedRunning_ = false;
    sigset_t oldMask_{};
};

TStation::~TStation() {
    if (hooks_.takeSignals) ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    if (!privateDir_.empty()) {
        std::error_code ec;
        fs::remove_all(privateDir_, ec);
    }
}

// Start-up ------------------------------------------------------------------------------------

bool TStation::Prepare() {
    if (!TakeSignals() || !hotplug_.Open()) {
        Say("", std::string("cannot watch signals or devices: ") + std::strerror(errno));
        return false;
    }
    if (!WriteSnapshot()) return false;
    const std::string error =
        log_.Open(options_.resultsPath.empty() ? DefaultResultsPath() : options_.resultsPath);
    if (!error.empty()) {
        Say("", error);
        return false;
    }
    hotplug_.WatchFirmware(image_.path);
    FindSlots(hotplug_.OpenUdevMonitor());
    const std::vector<std::size_t> presentAtStart = TakePresentAtStart();
    // Said once the devices there at start-up are known: whatever appears from now on is a
    // plug-in (a script that plugs in on this line must not see its unit taken as present).
    Say("", "firmware " + image_.path + ", " + std::to_string(image_.bytes.size()) +
                " bytes, SHA-256 " + image_.sha256 + "; results in " + log_.Path() + "; " +
                (options_.slotPaths.empty() ? "every USB serial device in " + defaultFolder_
                                            : std::to_string(slots_.size()) + " slot(s)"));
    for (std::size_t i : presentAtStart) {
        Say(slots_[i].slot.name, "present at start-up; waiting for it to be plugged in again "
                                 "(--start-present starts it at once)");
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) Notify(i);
    NotifyCounters();
    return true;
}

bool TStation::TakeSignals() {
    if (!hooks_.takeSignals) return true;
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &mask, &oldMask_);
    signals_.Reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    return static_cast<bool>(signals_);
}

// The children's firmware: a read-only copy in a folder of our own, written once.
bool TStation::WriteSnapshot() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string pattern = std::string(runtime && *runtime == '/' ? runtime : "/tmp") +
                          "/kavodown-station-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        Say("", "cannot make a private folder in " + pattern + ": " + std::strerror(errno));
        return false;
    }
    privateDir_ = pattern;
    snapshot_ = privateDir_ + "/" + fs::path(image_.path).filename().string();
    std::ofstream out(snapshot_, std::ios::binary);
    out.write(image_.bytes.data(), static_cast<std::streamsize>(image_.bytes.size()));
    if (!out.flush()) {
        Say("", "cannot write the firmware's copy " + snapshot_);
        return false;
    }
    ::chmod(snapshot_.c_str(), 0400);
    return true;
}

void TStation::FindSlots(bool udev) {
    if (!options_.slotPaths.empty()) {
        for (const std::string& path : options_.slotPaths) AddSlot(path);
        return;
    }
    defaultFolder_ = fs::is_directory("/dev/serial/by-path") || udev ? "/dev/serial/by-path" : "/dev";
    hotplug_.WatchFolder(defaultFolder_);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(defaultFolder_, ec)) {
        if (IsDefaultDevice(defaultFolder_, entry.path().filename().string())) {
            AddSlot(entry.path().string());
        }
    }
}

// The slots whose devices are there now. Without --start-present such a device (a fixed port)
// is no plug-in: it starts only when it is plugged in again.
std::vector<std::size_t> TStation::TakePresentAtStart() {
    std::vector<std::size_t> present;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        TSlotEntry& entry = slots_[i];
        if (!Exists(entry.slot.device)) continue;
        entry.slot.Appeared();
        entry.serial = UsbIdentityOfPort(entry.slot.device).serial;
        if (!options_.startPresent) {
            entry.slot.state = TSlotState::waiting;
            present.push_back(i);
        }
    }
    return present;
}

// The slots and their devices --------------------------------------------------------------

void TStation::AddSlot(const std::string& path) {
    for (const TSlotEntry& entry : slots_) {
        if (entry.slot.device == path) return;
    }
    TSlotEntry entry;
    entry.slot.device = path;
    entry.slot.name = fs::path(path).filename().string();
    slots_.push_back(std::move(entry));
    hotplug_.WatchFolder(fs::path(path).parent_path().string());
    Notify(slots_.size() - 1);
}

void TStation::Handle(const std::vector<THotplugEvent>& events) {
    using TKind = THotplugEvent::TKind;
    for (const THotplugEvent& event : events) {
        switch (event.kind) {
        case TKind::entry: {
            const std::string path = event.folder + "/" + event.name;
            if (event.folder == defaultFolder_ && IsDefaultDevice(event.folder, event.name)) AddSlot(path);
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                if (slots_[i].slot.device == path) CheckSlot(i);
            }
            break;
        }
        case TKind::lookAgain: CheckSlots(); break;
        case TKind::deviceAdded:
            if (options_.slotPaths.empty()) AddSlot(event.path);
            break;
        case TKind::firmwareChanged:
            Say("", "the firmware file " + image_.path +
                        " changed on disk; every unit still gets the image read at start "
                        "(SHA-256 " + image_.sha256 + "); restart the station to use the new one");
            if (hooks_.observer) hooks_.observer->FirmwareChanged();
            break;
        }
    }
}

void TStation::CheckSlots() {
    for (std::size_t i = 0; i < slots_.size(); ++i) CheckSlot(i);
}

void TStation::CheckSlot(std::size_t index) {
    TSlotEntry& entry = slots_[index];
    const bool there = Exists(entry.slot.device);
    if (there == entry.slot.present) return;
    if (there) {
        entry.slot.Appeared();
        entry.serial = UsbIdentityOfPort(entry.slot.device).serial;
        Say(entry.slot.name, "plugged in (" + entry.slot.device + ")");
    } else {
        entry.slot.Gone();
        entry.serial.clear();
        Say(entry.slot.name, "unplugged");
    }
    Notify(index);
}

// The units ----------------------------------------------------------------------------------

void TStation::StartUnits() {
    if (stopping_) return;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!MayStart(i)) continue;
        TSlotEntry& entry = slots_[i];
        entry.openRetryAt = 0;
        entry.openTries = 0;
        if (entry.slot.attempts == 0) ++started_;
        if (!StartUnit(i)) {
            entry.slot.Started(SteadyNowMs());
            Finish(i, kExitOtherError, "kavodown: the slot's run could not be started");
        }
    }
}

// Whether the slot's unit starts now: it is ready, within --units, and its device opens (or
// has been tried often enough; the child then tells why it cannot be opened).
bool TStation::MayStart(std::size_t index) {
    TSlotEntry& entry = slots_[index];
    if (!entry.slot.CanStart()) return false;
    if (entry.slot.attempts == 0 && options_.units > 0 && started_ >= options_.units) return false;
    if (entry.openRetryAt > SteadyNowMs()) return false;
    if (!Openable(entry.slot.device) && ++entry.openTries < kOpenTries) {
        entry.openRetryAt = SteadyNowMs() + kOpenRetryMs;
        return false;
    }
    return true;
}

bool TStation::StartUnit(std::size_t index) {
    TSlotEntry& entry = slots_[index];
    TUnitLaunch launch;
    launch.program = program_;
    launch.device = entry.slot.device;
    launch.image = snapshot_;
    launch.configDir = privateDir_ + "/slot" + std::to_string(index + 1);
    launch.silenceLimitSeconds = options_.silenceLimitSeconds;
    launch.ddd = options_.ddd;
    launch.usb = options_.usb;
    std::error_code ec;
    fs::create_directories(launch.configDir, ec);
    entry.child = TUnitProcess::Start(launch);
    if (!entry.child) return false;
    entry.slot.Started(SteadyNowMs());
    Say(entry.slot.name, entry.slot.attempts > 1
                             ? "retrying (attempt " + std::to_string(entry.slot.attempts) + ")"
                             : std::string(options_.ddd ? "waking the loader" : "starting"));
    Notify(index);
    return true;
}

std::function<void(const TJsonMembers&)> TStation::ProgressOf(std::size_t index) {
    return [this, index](const TJsonMembers& members) {
        TSlot& slot = slots_[index].slot;
        const bool first = slot.state != TSlotState::sending;
        const int before = slot.percent;
        slot.Progress(static_cast<int>(JsonInteger(members, "percent")));
        if (first) Say(slot.name, "sending " + std::to_string(JsonInteger(members, "size")) + " bytes");
        if (first || slot.percent != before) Notify(index);
    };
}

void TStation::Reap(std::size_t index) {
    TSlotEntry& entry = slots_[index];
    if (!entry.child) return;
    const std::optional<int> status = entry.child->Reap(ProgressOf(index));
    if (!status) return;
    const TUnitEnd end = UnitEndOf(*status, entry.child->Report(), FlashedCode(), image_.sha256);
    Finish(index, end.code, end.line);
}

void TStation::Finish(std::size_t index, int code, const std::string& line) {
    TSlotEntry& entry = slots_[index];
    TSlot& slot = entry.slot;
    const std::int64_t blockErrors = entry.child ? entry.child->BlockErrors() : 0;
    entry.child.reset();
    const std::int64_t duration = SteadyNowMs() - slot.unitStartMs;
    const bool flashed = code == FlashedCode();
    std::string outcome = OutcomeText(flashed, code, line);
    if (stopping_ && !flashed) outcome = "stopped: " + outcome;
    if (!slot.Ended(flashed, outcome, stopping_ ? 0 : options_.retries)) {
        Say(slot.name, "failed (" + outcome + "); trying again");
        Notify(index);
        return;
    }
    if (stopping_ && !flashed) slot.state = TSlotState::stopped;
    ++finished_;
    if (!flashed) ++failed_;
    entry.durationMs = duration;
    entry.code = code;
    Notify(index);
    NotifyCounters();
    const std::string error = Record(entry, code, outcome, duration, blockErrors);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(duration) / 1000.0);
    Say(slot.name, (flashed ? "done in " + std::string(seconds) : "failed: " + outcome) +
                       (error.empty() ? "" : " (not recorded)"));
}

// Writes the unit's record to the results log, the journal and the standard output; returns
// the results log's error, "" when it took the record.
std::string TStation::Record(const TSlotEntry& entry, int code, const std::string& outcome,
                             std::int64_t durationMs, std::int64_t blockErrors) {
    TUnitRecord record;
    record.slot = entry.slot.name;
    record.device = entry.slot.device;
    const TUsbIdentity usb = UsbIdentityOfPort(entry.slot.device);
    record.usbVendor = usb.vendor;
    record.usbProduct = usb.product;
    record.usbSerial = usb.serial;
    record.firmware = image_.path;
    record.size = static_cast<std::int64_t>(image_.bytes.size());
    record.sha256 = image_.sha256;
    record.code = code;
    record.outcome = outcome;
    record.durationMs = durationMs;
    record.blockErrors = blockErrors;
    const std::string error = log_.Append(record);
    if (!error.empty()) Say(entry.slot.name, error);
    SendToJournal(record);
    const std::string json = JsonLine(record) + "\n";
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fflush(stdout);
    return error;
}

// The loop -----------------------------------------------------------------------------------

int TStation::Run() {
    if (!Prepare()) return kExitOtherError;
    while (true) {
        TakeRequests();
        StartUnits();
        if (Over() || !WaitAndDispatch()) break;
    }
    Say("", std::to_string(finished_) + " unit(s): " + std::to_string(finished_ - failed_) +
                " flashed, " + std::to_string(failed_) + " failed");
    return ExitCode();
}

// Waits for the next event and handles what came; false when the wait itself failed.
bool TStation::WaitAndDispatch() {
    // Fixed places: signals, hotplug, requests, udev; then each unit's output and its end.
    enum { kSignals, kInotify, kRequests, kUdev, kFixed };
    std::vector<pollfd> fds{{signals_.Get(), POLLIN, 0},
                            {hotplug_.InotifyFd(), POLLIN, 0},
                            {hooks_.control ? hooks_.control->WakeFd() : -1, POLLIN, 0},
                            {hotplug_.UdevFd(), POLLIN, 0}};
    struct TUnitFd {
        std::size_t index;
        bool end;  // its end, else its output
    };
    std::vector<TUnitFd> units;
    bool unwatched = false;  // a child without a pidfd
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const TUnitProcess* child = slots_[i].child.get();
        if (!child) continue;
        if (child->OutputFd() >= 0) {
            fds.push_back({child->OutputFd(), POLLIN, 0});
            units.push_back({i, false});
        }
        if (child->EndFd() >= 0) {
            fds.push_back({child->EndFd(), POLLIN, 0});
            units.push_back({i, true});
        }
        unwatched = unwatched || child->EndFd() < 0;
    }
    if (::poll(fds.data(), fds.size(), PollTimeout(unwatched)) < 0 && errno != EINTR) return false;
    for (std::size_t k = kFixed; k < fds.size(); ++k) {
        const TUnitFd& unit = units[k - kFixed];
        if (fds[k].revents && !unit.end && slots_[unit.index].child) {
            slots_[unit.index].child->ReadOutput(ProgressOf(unit.index));
        }
    }
    for (std::size_t k = kFixed; k < fds.size(); ++k) {
        if (fds[k].revents && units[k - kFixed].end) Reap(units[k - kFixed].index);
    }
    for (std::size_t i = 0; unwatched && i < slots_.size(); ++i) {
        if (slots_[i].child && slots_[i].child->EndFd() < 0) Reap(i);
    }
    if (fds[kInotify].revents) Handle(hotplug_.ReadInotify());
    if (fds[kUdev].revents) Handle(hotplug_.ReadUdev());
    signalfd_siginfo info{};
    while (fds[kSignals].revents && ::read(signals_.Get(), &info, sizeof info) == sizeof info) {
        Stop(static_cast<int>(info.ssi_signo));
    }
    return true;
}

// Endless but for an end without a pidfd to look for and the next try at opening a device.
int TStation::PollTimeout(bool unwatched) const {
    int timeout = unwatched ? kReapPollMs : -1;
    for (const TSlotEntry& entry : slots_) {
        if (entry.openRetryAt == 0) continue;
        const std::int64_t wait = std::max<std::int64_t>(0, entry.openRetryAt - SteadyNowMs());
        if (timeout < 0 || wait < timeout) timeout = static_cast<int>(wait);
    }
    return timeout;
}

void TStation::Stop(int signalNumber) {
    if (stopping_) return;
    stopping_ = true;
    stopSignal_ = signalNumber;
    int running = 0;
    for (TSlotEntry& entry : slots_) {
        if (!entry.child) continue;
        ++running;
        entry.child->Terminate();
    }
    stoppedRunning_ = running > 0;
    Say("", std::string("stopped by ") +
                (signalNumber == 0 ? "the operator" : signalNumber == SIGINT ? "SIGINT" : "SIGTERM") +
                "; " + std::to_string(running) + " running unit(s) cancelled");
}

void TStation::StartPresent() {
    if (stopping_) return;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        TSlot& slot = slots_[i].slot;
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
    if (std::any_of(slots_.begin(), slots_.end(), [](const TSlotEntry& entry) { return entry.child != nullptr; })) {
        return false;
    }
    return stopping_ || (options_.units > 0 && started_ >= options_.units);
}

int TStation::ExitCode() const {
    if (stopSignal_ && stoppedRunning_) return ExitCodeOfSignal(stopSignal_);
    return failed_ > 0 ? kExitUnitsFailed : kExitOk;
}

// What the operator hears and sees -------------------------------------------------------------

void TStation::Say(const std::string& slot, const std::string& text) {
    std::fprintf(stderr, "kavodown station: %s%s%s\n", slot.c_str(), slot.empty() ? "" : ": ",
                 text.c_str());
    std::fflush(stderr);
    if (slot.empty() && hooks_.observer) hooks_.observer->StationSaid(text);
}

void TStation::Notify(std::size_t index) {
    if (!hooks_.observer) return;
    const TSlotEntry& entry = slots_[index];
    TSlotView view;
    view.index = index;
    view.name = entry.slot.name;
    view.device = entry.slot.device;
    view.serial = entry.serial;
    view.state = entry.slot.state;
    view.present = entry.slot.present;
    view.percent = entry.slot.percent;
    view.reason = entry.slot.reason;
    view.startMs = entry.slot.running ? entry.slot.unitStartMs : 0;
    view.durationMs = entry.durationMs;
    view.code = entry.code;
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

}  // namespace

int RunStation(const TStationOptions& options, const TStationImage& image,
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

void TStationControl::Wake() {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(fd_.Get(), &one, sizeof one);
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
    ssize_t ignored = ::read(fd_.Get(), &count, sizeof count);
    (void)ignored;
    std::lock_guard lock(mutex_);
    TRequests taken = pending_;
    pending_ = {};
    return taken;
}

}  // namespace kavo::station
