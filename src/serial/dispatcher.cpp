#include "serial/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "serial/dispatcher_recorders.h"
#include "serial/error_codes.h"

namespace kavo {
namespace {

std::vector<TApdBaseDispatcher*>& DispatcherList() {
    static auto* list = new std::vector<TApdBaseDispatcher*>;  // outlives every worker thread
    return *list;
}

// Guards the list's storage for lookups. FindDispatcher runs on dispatcher threads (the protocol
// engine), which must never wait for dispatcherListLock: the user-interface thread may hold that
// lock while it waits for those very threads to stop.
std::mutex& ListStorageLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Log subtypes of the dispatcher's own entries.
constexpr std::uint32_t lsRead = 1;
constexpr std::uint32_t lsWrite = 2;
constexpr std::uint32_t lsLost = 9;
constexpr std::uint32_t lsFailed = 10;
constexpr std::uint32_t lsAvail = 5;
constexpr std::uint32_t lsTimer = 6;
constexpr std::uint32_t lsStatus = 8;
constexpr std::uint32_t lsWindow = 1;
constexpr std::uint32_t lsProcedure = 2;

}  // namespace

std::uint32_t BaudFromCode(std::uint32_t baud) {
    static constexpr std::uint32_t kLegacyRates[24] = {
        110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 0,      0, 38400,
        0,   0,   0,   56000, 0,  0,    0,    128000, 0,    0, 0, 256000};
    if (baud == 0xFEFF) return 115200;
    if (baud >= 0xFF10 && baud <= 0xFF27) {
        std::uint32_t rate = kLegacyRates[baud - 0xFF10];
        return rate ? rate : baud;
    }
    return baud;
}

// --- process-wide list --------------------------------------------------------------------

std::recursive_mutex& TApdBaseDispatcher::dispatcherListLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

TApdBaseDispatcher* TApdBaseDispatcher::FindDispatcher(int handle) {
    std::lock_guard lock(ListStorageLock());
    auto& list = DispatcherList();
    if (handle < 0 || handle >= static_cast<int>(list.size())) return nullptr;
    return list[handle];
}

int TApdBaseDispatcher::DispatcherCount() {
    std::lock_guard lock(ListStorageLock());
    return static_cast<int>(DispatcherList().size());
}

TApdBaseDispatcher::TApdBaseDispatcher(TComponent* owner) : owner_(owner) {
    std::lock_guard lock(dispatcherListLock());
    std::lock_guard storage(ListStorageLock());
    auto& list = DispatcherList();
    auto slot = std::find(list.begin(), list.end(), nullptr);
    if (slot != list.end()) {
        *slot = this;
        handle_ = static_cast<int>(slot - list.begin());
    } else {
        list.push_back(this);
        handle_ = static_cast<int>(list.size()) - 1;
    }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
    // The derived destructor has run Shutdown(); device operations are gone by now.
    std::lock_guard lock(dispatcherListLock());
    std::lock_guard storage(ListStorageLock());
    auto& list = DispatcherList();
    if (handle_ >= 0 && handle_ < static_cast<int>(list.size()) && list[handle_] == this)
        list[handle_] = nullptr;
    while (!list.empty() && list.back() == nullptr) list.pop_back();
}

void TApdBaseDispatcher::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (closePending_) {
        // A close from inside a delivery: the dispatcher thread releases as it ends; wait for it.
        while (activeThreads_.load() > 0) {
            if (WaitForMessage(5)) PumpOneMessage();
        }
        ReleaseBuffers();
    } else {
        ClosePort();
    }
    while (activeThreads_.load() > 0) {
        if (WaitForMessage(5)) PumpOneMessage();
    }
    ReleaseBuffers();  // joins what is left; frees nothing twice
}

// --- lifecycle ------------------------------------------------------------------------------

// Clears what a previous opening of this dispatcher left behind.
void TApdBaseDispatcher::ResetOpenState() {
    ringEnded_ = false;
    dispatching_ = false;
    deviceLost_ = false;
    workerFailed_ = false;
    killThreads_ = false;
    closePending_ = false;
    releaseOnLastThread_ = false;
    std::lock_guard lock(stateLock_);
    removalPending_ = false;
    workerFailure_.clear();
}

void TApdBaseDispatcher::AllocateRings(std::uint32_t outSize) {
    {
        std::lock_guard in(inputLock_);
        inRing_.Allocate(kReceiveRingSize);
        getCount_ = maxGetCount_ = 0;
        inAvailMessage_ = false;
    }
    std::lock_guard out(outputLock_);
    outRing_.Allocate(outSize);
}

// DTR and RTS as the options ask: driven on or off now, or left to follow the port's state.
void TApdBaseDispatcher::ApplyLineOptions(std::uint32_t options) {
    {
        std::lock_guard lock(stateLock_);
        rs485Mode_ = false;
        DeviceGetState(block_);
        dtrAuto_ = (options & opDtrAuto) != 0;
        rtsAuto_ = (options & opRtsAuto) != 0;
    }
    if (!(options & opDtrAuto)) DriveDtr(options & opDtrOn);
    if (!(options & opRtsAuto)) DriveRts(options & opRtsOn);
}

int TApdBaseDispatcher::OpenPort(const std::string& deviceName, std::uint32_t baud, int parity,
                                 int dataBits, int stopBits, std::uint32_t inSize,
                                 std::uint32_t outSize, std::uint32_t options) {
    if (portOpen_) return ecAlreadyOpen;
    ResetOpenState();

    int result = DeviceOpen(deviceName, inSize, outSize);
    if (result < 0) return result == ecOutOfMemory ? ecOutOfMemory : LastOpenError();
    inSize_ = inSize;
    outSize_ = outSize;
    portOpen_ = true;
    if (!DeviceSetup(inSize, outSize)) {
        int error = LastOpenError();
        ClosePort();
        return error;
    }
    AllocateRings(outSize);
    lineError_ = 0;
    outputSent_ = false;
    ApplyLineOptions(options);
    scanPos_ = 0;
    ClearTriggers();
    {
        std::lock_guard in(inputLock_);
        arrivedSinceNotify_ = false;
    }
    notifyMark_ = 0;
    {
        std::lock_guard lock(stateLock_);
        statusHit_ = false;
        modemStatus_ = 0;
        lastBaud_ = 115200;
    }
    ReadModemStatus(0xF0);
    result = SetLineSettings(baud, parity, dataBits, stopBits);
    if (result < 0) {
        ClosePort();
        return result;
    }
    RefreshLineStatus();
    StopTrace();
    StopDispatchLog();
    {
        std::lock_guard lock(recorderLock_);
        logTimeBase_ = ClockMilliseconds();
    }
    StartThreads();
    return 0;
}

std::uint32_t TApdBaseDispatcher::QueuedOutput() {
    std::uint32_t ring;
    {
        std::lock_guard lock(outputLock_);
        ring = outRing_.Used();
    }
    return ring + DeviceOutputQueued();
}

void TApdBaseDispatcher::OutputMoved() {
    {
        std::lock_guard lock(drainMutex_);
        ++outputMoves_;
    }
    outputMovedCondition_.notify_all();
}

bool TApdBaseDispatcher::WaitOutputDrained(std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint32_t baud;
    {
        std::lock_guard lock(stateLock_);
        baud = std::max<std::uint32_t>(lastBaud_, 1);
    }
    for (;;) {
        std::uint64_t moves;
        {
            std::lock_guard lock(drainMutex_);
            moves = outputMoves_;
        }
        const std::uint32_t left = QueuedOutput();
        if (left == 0) return true;
        if (deviceLost_) return false;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        // Ten bit times a byte (start, eight data bits, stop), and a millisecond for the driver.
        const auto leaving = now + std::chrono::milliseconds(1 + std::uint64_t{left} * 10000 / baud);
        std::unique_lock lock(drainMutex_);
        outputMovedCondition_.wait_until(lock, std::min(deadline, leaving),
                                         [&] { return outputMoves_ != moves; });
    }
}

void TApdBaseDispatcher::PauseUnlessLost(std::uint32_t milliseconds) {
    std::unique_lock lock(drainMutex_);
    outputMovedCondition_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [&] { return deviceLost_.load(); });
}

void TApdBaseDispatcher::LetOutputLeave() {
    std::uint32_t baud;
    {
        std::lock_guard lock(stateLock_);
        baud = std::max<std::uint32_t>(lastBaud_, 1);
    }
    const std::uint32_t left = QueuedOutput();
    if (left == 0) return;
    // As long as the bytes need at the line's rate, and a margin for the device's turns.
    WaitOutputDrained(200 + static_cast<std::uint32_t>(std::uint64_t{left} * 10000 / baud));
}

void TApdBaseDispatcher::ClosePort() {
    if (portOpen_) LetOutputLeave();
    if (portOpen_.exchange(false)) {
        FlushOutput();
        FlushInput();
        DeviceClose();
    }
    if (dispatching_) {
        closePending_ = true;
    } else {
        ReleaseBuffers();
    }
}

void TApdBaseDispatcher::ReleaseBuffers() {
    releaseOnLastThread_ = false;
    if (threadsStarted_) StopThreads();
    {
        std::lock_guard out(outputLock_);
        outRing_.Release();
    }
    {
        std::lock_guard in(inputLock_);
        inRing_.Release();
    }
}

void TApdBaseDispatcher::ThreadGone(TWorker worker) {
    ForgetThread(worker);
    if (worker == TWorker::dispatcher && releaseOnLastThread_.exchange(false)) ReleaseBuffers();
    if (activeThreads_.fetch_sub(1) == 1) threadsStarted_ = false;
}

int TApdBaseDispatcher::SetUserData(void* data, int slot) {
    if (slot < 1 || slot > 3) return ecBadArgument;
    std::lock_guard lock(stateLock_);
    userData_[slot - 1] = data;
    return 0;
}

void* TApdBaseDispatcher::GetUserData(int slot) {
    if (slot < 1 || slot > 3) return nullptr;
    std::lock_guard lock(stateLock_);
    return userData_[slot - 1];
}

int TApdBaseDispatcher::LastOpenError() {
    std::lock_guard lock(stateLock_);
    return lastOpenError_;
}

std::string TApdBaseDispatcher::LastOpenErrorText() {
    std::lock_guard lock(stateLock_);
    return lastOpenErrorText_;
}

void TApdBaseDispatcher::SetLastOpenError(int code, std::string text) {
    std::lock_guard lock(stateLock_);
    lastOpenError_ = code;
    lastOpenErrorText_ = std::move(text);
}

void TApdBaseDispatcher::MarkDeviceLost() { TakeLineDown(lsLost, "Device lost"); }

void TApdBaseDispatcher::TakeLineDown(std::uint32_t logSubtype, const std::string& text) {
    if (deviceLost_.exchange(true)) return;
    {
        std::lock_guard out(outputLock_);
        outRing_.Clear();
    }
    OutputMoved();
    AddLogEntry(lgDevice, logSubtype, 0, text.data(), static_cast<std::uint32_t>(text.size()));
    eventMask_.fetch_or(evErr | evRlsd);
}

std::string TApdBaseDispatcher::WorkerFailure() {
    std::lock_guard lock(stateLock_);
    return workerFailure_;
}

int TApdBaseDispatcher::RecordWorkerFailure(TWorker worker, std::string text) {
    std::vector<HWND> windows;
    {
        std::lock_guard lock(stateLock_);
        if (workerFailed_) return -1;
        workerFailure_ = text;
        // Set before anyone is told, so that whoever looks at the line when told finds it down.
        workerFailed_ = true;
        for (const auto& h : windowHandlers_) {
            if (!h.deleted) windows.push_back(h.window);
        }
    }
    TakeLineDown(lsFailed, text);
    const auto lParam = static_cast<LPARAM>(static_cast<std::uint32_t>(handle_) << 16);
    int told = 0;
    for (HWND window : windows) {
        told += PostMessage(window, kWorkerFailed, static_cast<WPARAM>(worker), lParam) ? 1 : 0;
    }
    return told;
}

// --- receive ring ---------------------------------------------------------------------------

bool TApdBaseDispatcher::ReceiveRingIsFull() {
    std::lock_guard lock(inputLock_);
    return inRing_.Full();
}

int TApdBaseDispatcher::PeekLocked(std::uint32_t n) const {
    const int byte = inRing_.Peek(n);
    return byte < 0 ? ecBufferIsEmpty : byte;
}

void TApdBaseDispatcher::ConsumeLocked(std::uint32_t count) {
    if (inRing_.Consume(count)) ReceiveSpaceFreed();
}

bool TApdBaseDispatcher::InputReady() {
    std::lock_guard lock(inputLock_);
    if (!inRing_.Allocated()) return false;
    // During an availability delivery the bytes a handler has taken are read already.
    return (inAvailMessage_ ? getCount_ : 0) < inRing_.Used();
}

int TApdBaseDispatcher::ReadChar() {
    int byte;
    {
        std::lock_guard lock(inputLock_);
        if (inAvailMessage_) {
            byte = PeekLocked(getCount_ + 1);
            if (byte < 0) return byte;
            ++getCount_;
        } else {
            byte = PeekLocked(1);
            if (byte < 0) return byte;
            ConsumeLocked(1);
        }
    }
    AddTraceEntry('R', static_cast<std::uint8_t>(byte));
    return byte;
}

int TApdBaseDispatcher::PeekByte(std::uint32_t n) {
    std::lock_guard lock(inputLock_);
    return PeekLocked(n);
}

std::uint32_t TApdBaseDispatcher::InputUsed() {
    std::lock_guard lock(inputLock_);
    std::uint32_t held = inRing_.Used();
    return inAvailMessage_ ? held - std::min(getCount_, held) : held;
}

std::uint32_t TApdBaseDispatcher::InputFree() {
    std::lock_guard lock(inputLock_);
    std::uint32_t free = inRing_.Free();
    return inAvailMessage_ ? free + getCount_ : free;
}

int TApdBaseDispatcher::FlushInput() {
    int result = portOpen_ ? DevicePurge(true) : 0;
    {
        std::lock_guard lock(inputLock_);
        if (inAvailMessage_) {
            // Inside a delivery: the delivery's end consumes all of it.
            maxGetCount_ = inRing_.Used();
        } else {
            if (inRing_.Clear()) ReceiveSpaceFreed();
            getCount_ = 0;
        }
    }
    return result;
}

bool TApdBaseDispatcher::FillReceiveRing() {
    std::lock_guard lock(inputLock_);
    if (!inRing_.Allocated()) return false;
    if (inRing_.Full()) return true;
    RefreshLineStatus();
    std::uint32_t waiting;
    {
        std::lock_guard out(outputLock_);
        DeviceStatus(comStat_);
        waiting = comStat_.inQue;
    }
    if (waiting == 0) return false;
    // The first read asks for the whole free run behind the received bytes; a second one, into
    // the run at the ring's start, only for what the driver still holds beyond that.
    const std::uint32_t want = std::min(inRing_.Free(), waiting);
    std::span<std::uint8_t> run = inRing_.FreeRun();
    const std::uint32_t first = ReadIntoRing(run, static_cast<std::uint32_t>(run.size()));
    if (first == run.size() && want > first) {
        run = inRing_.FreeRun();
        ReadIntoRing(run, std::min<std::uint32_t>(static_cast<std::uint32_t>(run.size()), want - first));
    }
    return true;
}

std::uint32_t TApdBaseDispatcher::ReadIntoRing(std::span<std::uint8_t> run, std::uint32_t count) {
    if (count == 0) return 0;
    const int read = DeviceRead(run.data(), count);
    if (read <= 0) return 0;
    const auto got = static_cast<std::uint32_t>(read);
    AddLogEntry(lgDevice, lsRead, got, run.data(), got);
    inRing_.Commit(got);
    arrivedSinceNotify_ = true;
    return got;
}

// --- output ---------------------------------------------------------------------------------

std::uint32_t TApdBaseDispatcher::RefreshOutputCount() {
    std::lock_guard lock(outputLock_);
    if (portOpen_) {
        std::uint32_t errors = DeviceStatus(comStat_);
        if (errors) lineError_.fetch_or(errors & 0x1F);
    }
    return outRing_.Used();
}

std::uint32_t TApdBaseDispatcher::OutputUsed() { return RefreshOutputCount() + DeviceOutputQueued(); }

std::uint32_t TApdBaseDispatcher::OutputFree() {
    std::lock_guard lock(outputLock_);
    return outSize_ - RefreshOutputCount();
}

int TApdBaseDispatcher::SendChar(std::uint8_t byte) { return SendBlock(&byte, 1); }

int TApdBaseDispatcher::SendBlock(const void* data, std::uint32_t length) {
    if (length == 0) return 0;
    if (!portOpen_) return ecCommNotOpen;
    if (deviceLost_) return ecDeviceWrite;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    {
        std::lock_guard lock(outputLock_);
        if (!outRing_.Allocated()) return ecCommNotOpen;
        std::uint32_t errors = DeviceStatus(comStat_);
        lineError_.store(errors);
        std::uint32_t free = outRing_.Free();
        if (length > free) return ecOutputBufferTooSmall;
        // The device layer queues what it does not write at once; a block that fills the ring
        // marks it full there.
        DeviceWrite(bytes, length);
        outputSent_ = true;
    }
    AddLogEntry(lgDevice, lsWrite, length, bytes, length);
    if (Tracing()) {
        for (std::uint32_t i = 0; i < length; ++i) AddTraceEntry('T', bytes[i]);
    }
    return 0;
}

int TApdBaseDispatcher::FlushOutput() {
    if (!portOpen_) {
        std::lock_guard lock(outputLock_);
        outRing_.Clear();
        return 0;
    }
    return DevicePurge(false);
}

void TApdBaseDispatcher::ApplyThreadBoost(int boost) { threadBoost_ = boost; }

// --- triggers -------------------------------------------------------------------------------

void TApdBaseDispatcher::SetAvailTriggerLevel(std::uint32_t level) {
    std::lock_guard lock(stateLock_);
    availLevel_ = level;
    AddLogEntry(lgArmed, lsAvail, level, nullptr, 0);
}

std::uint32_t TApdBaseDispatcher::AvailTriggerLevel() {
    std::lock_guard lock(stateLock_);
    return availLevel_;
}

bool TApdBaseDispatcher::HandleInUse(int base) const {
    for (const auto& t : timerTriggers_)
        if (t.handle == base) return true;
    for (const auto& t : statusTriggers_)
        if ((t.handle & ~7) == base) return true;
    return false;
}

int TApdBaseDispatcher::NewTriggerHandle() {
    if (nextHandle_ < 4096) return nextHandle_++ * 8;
    for (int base = 8; base <= 4096; base += 8) {
        if (!HandleInUse(base)) return base;
    }
    return 0;
}

int TApdBaseDispatcher::CreateTimerTrigger() {
    std::lock_guard lock(stateLock_);
    int handle = NewTriggerHandle();
    if (handle == 0) return ecNoMoreTriggers;
    TTimerTrigger trigger;
    trigger.handle = handle;
    timerTriggers_.push_back(trigger);
    AddLogEntry(lgCreated, lsTimer, handle, nullptr, 0);
    return handle;
}

int TApdBaseDispatcher::ArmTimerTrigger(int handle, std::int32_t ticks, bool activate) {
    std::lock_guard lock(stateLock_);
    for (auto& trigger : timerTriggers_) {
        if (trigger.handle != handle) continue;
        if (activate) {
            if (ticks != 0) trigger.ticks = ticks;
            StartTickTimer(trigger.timer, trigger.ticks);
            trigger.active = true;
            AddLogEntry(lgArmed, lsTimer, handle, nullptr, 0);
        } else {
            trigger.active = false;
            static const char kOff[] = "Deactivated";
            AddLogEntry(lgArmed, lsTimer, handle, kOff, sizeof kOff - 1);
        }
        return 0;
    }
    return ecBadTriggerHandle;
}

int TApdBaseDispatcher::TimerTicksLeft(int handle, std::int32_t& ticksLeft) {
    std::lock_guard lock(stateLock_);
    for (const auto& trigger : timerTriggers_) {
        if (trigger.handle != handle) continue;
        ticksLeft = TickTimerLeft(trigger.timer);
        return 0;
    }
    ticksLeft = 0;
    return ecBadTriggerHandle;
}

int TApdBaseDispatcher::CreateStatusTrigger(std::uint32_t kind) {
    if (kind > stOutSent) return ecBadArgument;
    std::lock_guard lock(stateLock_);
    int handle = NewTriggerHandle();
    if (handle == 0) return ecNoMoreTriggers;
    TStatusTrigger trigger;
    trigger.handle = handle | static_cast<int>(kind);
    trigger.kind = kind;
    statusTriggers_.push_back(trigger);
    std::string name = StatusKindName(kind);
    AddLogEntry(lgCreated, lsStatus, trigger.handle, name.data(), name.size());
    return trigger.handle;
}

int TApdBaseDispatcher::ArmStatusTrigger(int handle, std::uint16_t value, bool activate) {
    std::lock_guard lock(stateLock_);
    for (auto& trigger : statusTriggers_) {
        if (trigger.handle != handle) continue;
        if (activate) {
            switch (trigger.kind) {
            case stModem: {
                std::uint8_t mask = value & 0xFF;
                std::uint8_t reference = value & modemStatus_.load();
                trigger.value = static_cast<std::uint16_t>((mask << 8) | reference);
                break;
            }
            case stLine: {
                std::uint16_t bits = 0;
                if (value & ltOverrun) bits |= leOverrun;
                if (value & ltParity) bits |= leParity;
                if (value & ltFraming) bits |= leFraming;
                if (value & ltBreak) bits |= leBreak;
                trigger.value = bits;
                break;
            }
            default:
                trigger.value = value;
                break;
            }
        }
        trigger.armed = activate;
        std::string name = StatusKindName(trigger.kind);
        if (!activate) name += " Deactivated";
        AddLogEntry(lgArmed, lsStatus, handle, name.data(), name.size());
        return 0;
    }
    return ecBadTriggerHandle;
}

int TApdBaseDispatcher::DeleteTrigger(int handle) {
    if (handle == kAvailTriggerHandle) {
        std::lock_guard lock(stateLock_);
        availLevel_ = 0;
        AddLogEntry(lgRemoved, lsAvail, handle, nullptr, 0);
        return 0;
    }
    if (handle < 2) return ecBadTriggerHandle;
    std::lock_guard lock(stateLock_);
    auto timer = std::find_if(timerTriggers_.begin(), timerTriggers_.end(),
                              [&](const TTimerTrigger& t) { return t.handle == handle; });
    if (timer != timerTriggers_.end()) {
        timerTriggers_.erase(timer);
        AddLogEntry(lgRemoved, lsTimer, handle, nullptr, 0);
        return 0;
    }
    auto status = std::find_if(statusTriggers_.begin(), statusTriggers_.end(),
                               [&](const TStatusTrigger& t) { return t.handle == handle; });
    if (status != statusTriggers_.end()) {
        statusTriggers_.erase(status);
        AddLogEntry(lgRemoved, lsStatus, handle, nullptr, 0);
        return 0;
    }
    return ecBadTriggerHandle;
}

void TApdBaseDispatcher::ClearTriggers() {
    std::lock_guard lock(stateLock_);
    availLevel_ = 0;
    timerTriggers_.clear();
    statusTriggers_.clear();
    nextHandle_ = 1;
}

void TApdBaseDispatcher::SaveTriggers(TriggerSnapshot& snapshot) {
    std::lock_guard lock(stateLock_);
    snapshot.availLevel = availLevel_;
    snapshot.timerTriggers = timerTriggers_;
    snapshot.statusTriggers = statusTriggers_;
}

void TApdBaseDispatcher::RestoreTriggers(const TriggerSnapshot& snapshot) {
    std::lock_guard lock(stateLock_);
    availLevel_ = snapshot.availLevel;
    if (snapshot.timerTriggers) timerTriggers_ = *snapshot.timerTriggers;
    if (snapshot.statusTriggers) statusTriggers_ = *snapshot.statusTriggers;
    // Keep handles unique: the counter moves past every restored handle.
    int highest = 0;
    for (const auto& t : timerTriggers_) highest = std::max(highest, t.handle & ~7);
    for (const auto& t : statusTriggers_) highest = std::max(highest, t.handle & ~7);
    nextHandle_ = std::max(nextHandle_, highest / 8 + 1);
}

// --- handlers -------------------------------------------------------------------------------

void TApdBaseDispatcher::RecheckHandlerService() {
    std::size_t windows = 0, procs = 0;
    for (const auto& h : windowHandlers_) windows += !h.deleted;
    for (const auto& h : procHandlers_) procs += !h.deleted;
    handlerServiceNeeded_ = windows > 1 || procs > 0 || portHandlerInstalled_;
}

void TApdBaseDispatcher::SetPortHandlerState(TPortHandlerState state) {
    std::lock_guard lock(stateLock_);
    switch (state) {
    case TPortHandlerState::install:
        portHandlerInstalled_ = true;
        handlerServiceNeeded_ = true;
        break;
    case TPortHandlerState::remove:
        portHandlerInstalled_ = false;
        RecheckHandlerService();
        break;
    case TPortHandlerState::recheck:
        RecheckHandlerService();
        break;
    }
}

void TApdBaseDispatcher::AttachTriggerWindow(HWND window) {
    std::lock_guard lock(stateLock_);
    for (auto& h : windowHandlers_) {
        if (h.window == window && !h.deleted) return;
    }
    windowHandlers_.push_back({window, false});
    handlerServiceNeeded_ = true;
    AddLogEntry(lgAttached, lsWindow, window, nullptr, 0);
}

void TApdBaseDispatcher::DetachTriggerWindow(HWND window) {
    std::lock_guard lock(stateLock_);
    for (auto it = windowHandlers_.begin(); it != windowHandlers_.end(); ++it) {
        if (it->window != window || it->deleted) continue;
        if (dispatching_) {
            it->deleted = true;
            removalPending_ = true;
        } else {
            windowHandlers_.erase(it);
        }
        AddLogEntry(lgDetached, lsWindow, window, nullptr, 0);
        RecheckHandlerService();
        return;
    }
}

void TApdBaseDispatcher::AttachTriggerHandler(TApdNotifyProc proc) {
    if (!proc) return;
    std::lock_guard lock(stateLock_);
    for (auto& h : procHandlers_) {
        if (h.proc == proc && !h.deleted) return;
    }
    procHandlers_.push_back({proc, false});
    handlerServiceNeeded_ = true;
    AddLogEntry(lgAttached, lsProcedure, 0, nullptr, 0);
}

void TApdBaseDispatcher::DetachTriggerHandler(TApdNotifyProc proc) {
    std::lock_guard lock(stateLock_);
    for (auto it = procHandlers_.begin(); it != procHandlers_.end(); ++it) {
        if (it->proc != proc || it->deleted) continue;
        if (dispatching_) {
            it->deleted = true;
            removalPending_ = true;
        } else {
            procHandlers_.erase(it);
        }
        AddLogEntry(lgDetached, lsProcedure, 0, nullptr, 0);
        RecheckHandlerService();
        return;
    }
}

void TApdBaseDispatcher::RemoveDeletedHandlers() {
    std::erase_if(windowHandlers_, [](const WindowHandler& h) { return h.deleted; });
    std::erase_if(procHandlers_, [](const ProcHandler& h) { return h.deleted; });
    removalPending_ = false;
    SetPortHandlerState(TPortHandlerState::recheck);
}

// --- the service pass -------------------------------------------------------------------------

bool TApdBaseDispatcher::DeliverTrigger(std::uint32_t message, std::uint32_t first,
                                        std::uint32_t low) {
    if (!handlerServiceNeeded_) return true;
    {
        std::lock_guard lock(stateLock_);
        dispatching_ = true;
    }
    bool avail = message == kTriggerAvail || message == kTriggerData;
    {
        std::lock_guard lock(inputLock_);
        maxGetCount_ = 0;
        inAvailMessage_ = avail;
    }
    auto lParam = static_cast<std::int32_t>((static_cast<std::uint32_t>(handle_) << 16) | (low & 0xFFFF));

    bool aborted;
    try {
        aborted = !DeliverToEach(procHandlers_, [&](const ProcHandler& h) { h.proc(message, first, lParam); });
        bool sendToWindows;
        {
            std::lock_guard lock(stateLock_);
            sendToWindows = windowHandlers_.size() > 1 || portHandlerInstalled_;
        }
        if (!aborted && sendToWindows) {
            aborted = !DeliverToEach(windowHandlers_, [&](const WindowHandler& h) {
                SendMessageTimeout(h.window, message, first, lParam, 3000);
            });
        }
    } catch (...) {
        // What the handlers took stays unread: nothing is consumed for a delivery that failed.
        EndDelivery();
        throw;
    }
    bool result = !aborted;
    {
        std::lock_guard lock(inputLock_);
        if (avail && !aborted) {
            ConsumeLocked(std::min(maxGetCount_, inRing_.Used()));
            if (message == kTriggerAvail && maxGetCount_ != first) result = false;
        }
        inAvailMessage_ = false;
    }
    EndDelivery();
    return result;
}

// Calls `deliver` for each live entry of `handlers`. The entry is read under stateLock_ and called
// without it, so a handler may add or remove handlers; false when a close began during a call
// (the pass ends there).
template <typename Handlers, typename Deliver>
bool TApdBaseDispatcher::DeliverToEach(Handlers& handlers, Deliver deliver) {
    for (std::size_t i = 0;; ++i) {
        typename Handlers::value_type entry;
        {
            std::lock_guard lock(stateLock_);
            if (i >= handlers.size()) break;
            if (handlers[i].deleted) continue;
            entry = handlers[i];
        }
        {
            std::lock_guard lock(inputLock_);
            getCount_ = 0;
        }
        deliver(entry);
        if (closePending_) return false;
        std::lock_guard lock(inputLock_);
        maxGetCount_ = std::max(maxGetCount_, getCount_);
    }
    return true;
}

// Ends the delivery, also when a handler raised: a delivery left marked as running would turn
// every later close into a close from inside a delivery.
void TApdBaseDispatcher::EndDelivery() {
    {
        std::lock_guard lock(inputLock_);
        inAvailMessage_ = false;
    }
    {
        std::lock_guard lock(stateLock_);
        dispatching_ = false;
        if (removalPending_) RemoveDeletedHandlers();
    }
    std::lock_guard lock(inputLock_);
    getCount_ = 0;
}

bool TApdBaseDispatcher::ScanReceived() {
    std::uint32_t used;
    bool arrived;
    {
        std::lock_guard lock(inputLock_);
        scanPos_ = inRing_.Head();
        used = inRing_.Used();
        if (inAvailMessage_) used -= std::min(getCount_, used);
        arrived = arrivedSinceNotify_;
    }
    std::uint32_t level = AvailTriggerLevel();
    // A burst of exactly one ring's length leaves scanPos where it was, so arrivals are also
    // tracked by a flag: such a burst must be announced too.
    if (level != 0 && (notifyMark_ != scanPos_ || arrived) && used >= level) {
        {
            std::lock_guard lock(inputLock_);
            arrivedSinceNotify_ = false;
        }
        notifyMark_ = scanPos_;
        AddLogEntry(lgFired, lsAvail, used, nullptr, 0);
        return DeliverTrigger(kTriggerAvail, used, 0);
    }
    return false;
}

void TApdBaseDispatcher::ClearStatusHits() {
    std::lock_guard lock(stateLock_);
    for (auto& trigger : statusTriggers_) trigger.hit = false;
    statusHit_ = false;
}

bool TApdBaseDispatcher::StatusTriggerFires(TStatusTrigger& trigger, const TOutputCounts& counts,
                                            std::uint32_t& count) {
    count = 0;
    switch (trigger.kind) {
    case stModem:
        return (((trigger.value & 0xFF) ^ modemStatus_.load()) & (trigger.value >> 8)) != 0;
    case stLine: {
        const std::uint32_t word = lineError_.load();
        if (!(trigger.value & word)) return false;
        trigger.value = static_cast<std::uint16_t>(word & 0xFFFF);
        return true;
    }
    case stOutBuffFree:
        count = counts.free;
        return counts.free >= trigger.value;
    case stOutBuffUsed:
        count = counts.used;
        return counts.used <= trigger.value;
    case stOutSent: return outputSent_.exchange(false);
    default: return false;
    }
}

bool TApdBaseDispatcher::ScanStatusTriggers() {
    // The output counts ask the device (an ioctl each, a control transfer on a USB adapter): they
    // are read before the state lock is taken, and only when an armed trigger looks at them.
    bool wantFree = false, wantUsed = false;
    {
        std::lock_guard lock(stateLock_);
        for (const auto& trigger : statusTriggers_) {
            if (!trigger.armed || trigger.hit) continue;
            wantFree = wantFree || trigger.kind == stOutBuffFree;
            wantUsed = wantUsed || trigger.kind == stOutBuffUsed;
        }
    }
    const TOutputCounts counts{wantFree ? OutputFree() : 0, wantUsed ? OutputUsed() : 0};

    int handle = 0;
    std::uint32_t count = 0, kind = 0;
    {
        std::lock_guard lock(stateLock_);
        for (auto& trigger : statusTriggers_) {
            if (!trigger.armed || trigger.hit || !StatusTriggerFires(trigger, counts, count)) continue;
            trigger.armed = false;
            trigger.hit = true;
            statusHit_ = true;
            handle = trigger.handle;
            kind = trigger.kind;
            break;
        }
    }
    if (handle == 0) return false;
    std::string name = StatusKindName(kind);
    AddLogEntry(lgFired, lsStatus, handle, name.data(), name.size());
    return DeliverTrigger(kTriggerStatus, handle, count);
}

bool TApdBaseDispatcher::ScanTimerTriggers() {
    int handle = 0;
    {
        std::lock_guard lock(stateLock_);
        for (auto& trigger : timerTriggers_) {
            if (!trigger.active || !TickTimerExpired(trigger.timer)) continue;
            trigger.active = false;
            handle = trigger.handle;
            break;
        }
    }
    if (handle == 0) return false;
    AddLogEntry(lgFired, lsTimer, handle, nullptr, 0);
    return DeliverTrigger(kTriggerTimer, handle, 0);
}

bool TApdBaseDispatcher::ServiceDevice() {
    std::uint32_t mask = eventMask_.exchange(0);
    auto scanStatus = [this] {
        if (dispatching_) return true;
        while (ScanStatusTriggers()) {
            if (closePending_) return false;
        }
        if (closePending_) return false;
        bool hit;
        {
            std::lock_guard lock(stateLock_);
            hit = statusHit_;
        }
        if (hit) ClearStatusHits();
        return true;
    };
    if (mask & (evCts | evDsr | evRlsd | evRing | evRingEnd)) {
        UpdateModemChanges();
        if (!scanStatus()) return false;
    }
    if (mask & (evBreak | evErr)) {
        RefreshLineStatus();
        if (!scanStatus()) return false;
    }
    FillReceiveRing();
    if (!dispatching_) {
        if (ModemWatchWanted()) modemStatus_ = ReadModemStatus(0xF0);
        while (ScanStatusTriggers()) {
            if (closePending_) return false;
        }
        if (closePending_) return false;
        while (ScanReceived()) {
            if (closePending_) return false;
        }
        if (closePending_) return false;
    }
    bool hit;
    {
        std::lock_guard lock(stateLock_);
        hit = statusHit_;
    }
    if (hit) ClearStatusHits();
    OutputMoved();  // what left the device's own queue since the last pass
    ServiceDone();
    return true;
}

std::uint32_t TApdBaseDispatcher::PassWaitMs(std::uint32_t limit) {
    std::lock_guard lock(stateLock_);
    for (const auto& trigger : timerTriggers_) {
        if (trigger.active) limit = std::min(limit, MillisecondsToExpiry(trigger.timer));
    }
    return limit;
}

void TApdBaseDispatcher::ServiceTimers() {
    if (closePending_ || dispatching_) return;
    {
        std::lock_guard lock(stateLock_);
        statusHit_ = false;
    }
    for (;;) {
        if (ScanStatusTriggers()) {
            if (closePending_) return;
            continue;
        }
        if (closePending_) return;
        if (ScanTimerTriggers()) {
            if (closePending_) return;
            continue;
        }
        break;
    }
    bool hit;
    {
        std::lock_guard lock(stateLock_);
        hit = statusHit_;
    }
    if (hit) ClearStatusHits();
}

}  // namespace kavo
