#include "serial/win32_dispatcher.h"

#include <cstdio>
#include <stdexcept>

#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"
#include "serial/port_map.h"

// After the engine's headers: the system's macros (WM_QUIT, PostMessage, ...) would rename
// the engine's own names.
#include <pthread.h>
#include <windows.h>

namespace kavo {
namespace {

// Device events the device thread asks for: received character, CTS, DSR, carrier, break, line
// error and ring; the ring-end event on systems that have it (refused elsewhere, then dropped).
constexpr DWORD kEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
// What a driver that reports no modem-line events can still wait for.
constexpr DWORD kDataEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;
constexpr DWORD kEventMaskWithRingEnd = kEventMask | evRingEnd;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr int kStartAckMs = 3000;
constexpr int kFlushAckMs = 5000;
constexpr int kDispatcherStopTicks = 36;
// The dispatcher thread's pass interval, and the longest a read watch waits for a byte.
constexpr int kPassIntervalMs = 50;

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// Errors that mean the device is gone: its far end closed (broken pipe), it is no longer ready,
// or a removed USB adapter answers every call with access denied or bad command.
bool MeansDeviceGone(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND: return true;
    default: return false;
    }
}

// The device's name for a port: the port map's entry, else "\\.\COM<n>" for any number.
std::string DeviceNameFor(const std::string& name) {
    const int number = ComNumberFromDeviceName(name);
    return number > 0 ? ComPortPath(number) : name;
}

int OpenFailureCode(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return ecAccessDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ecFileNotFound;
    default: return ecHardware;
    }
}

std::string OpenFailureText(const std::string& path, DWORD error) {
    switch (OpenFailureCode(error)) {
    case ecAccessDenied: return path + " is held by another program";
    case ecFileNotFound: return path + ": no such port";
    default: return path + ": system error " + std::to_string(error);
    }
}

// Opens the device for exclusive overlapped use; the handle, or INVALID_HANDLE_VALUE with the
// code and text of the failure.
HANDLE OpenDevice(const std::string& path, int& code, std::string& text) {
    HANDLE device = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        code = OpenFailureCode(error);
        text = OpenFailureText(path, error);
        return device;
    }
    code = 0;
    text.clear();
    return device;
}

void BlockToDcb(const TDeviceBlock& block, DCB& dcb) {
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = TRUE;
    dcb.BaudRate = block.baud;
    dcb.Parity = static_cast<BYTE>(block.parity);
    dcb.fParity = block.parity != kParityNone;
    dcb.ByteSize = static_cast<BYTE>(block.dataBits);
    dcb.StopBits = static_cast<BYTE>(block.stopBits);
    dcb.fDtrControl = static_cast<DWORD>(block.dtrControl);
    dcb.fRtsControl = static_cast<DWORD>(block.rtsControl);
    dcb.fOutxCtsFlow = block.outxCtsFlow;
    dcb.fOutxDsrFlow = block.outxDsrFlow;
    dcb.fOutX = block.outX;
    dcb.fInX = block.inX;
    dcb.XonLim = static_cast<WORD>(block.xonLim);
    dcb.XoffLim = static_cast<WORD>(block.xoffLim);
    dcb.XonChar = static_cast<char>(block.xonChar);
    dcb.XoffChar = static_cast<char>(block.xoffChar);
}

void DcbToBlock(const DCB& dcb, TDeviceBlock& block) {
    block.baud = dcb.BaudRate;
    block.parity = dcb.Parity;
    block.dataBits = dcb.ByteSize;
    block.stopBits = dcb.StopBits;
    block.dtrControl = static_cast<int>(dcb.fDtrControl);
    block.rtsControl = static_cast<int>(dcb.fRtsControl);
    block.outxCtsFlow = dcb.fOutxCtsFlow;
    block.outxDsrFlow = dcb.fOutxDsrFlow;
    block.outX = dcb.fOutX;
    block.inX = dcb.fInX;
    block.xonLim = dcb.XonLim;
    block.xoffLim = dcb.XoffLim;
    block.xonChar = static_cast<std::uint8_t>(dcb.XonChar);
    block.xoffChar = static_cast<std::uint8_t>(dcb.XoffChar);
}

}  // namespace

TApdWin32Dispatcher::TApdWin32Dispatcher(TComponent* owner) : TApdBaseDispatcher(owner) {}

TApdWin32Dispatcher::~TApdWin32Dispatcher() {
    Shutdown();
    JoinEnded();
    ReleaseDevice();
}

int TApdWin32Dispatcher::Probe(const std::string& name, std::string& text) {
    int code = 0;
    HANDLE device = OpenDevice(DeviceNameFor(name), code, text);
    if (device != INVALID_HANDLE_VALUE) ::CloseHandle(device);
    return code;
}

std::string TApdWin32Dispatcher::DevicePath() {
    std::lock_guard lock(pathMutex_);
    return Device() != kNoDevice ? path_ : std::string();
}

// --- opening and closing ----------------------------------------------------------------------

int TApdWin32Dispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t) {
    for (TEventSignal* signal : {&deviceEventSignal_, &serviceDoneSignal_, &startAckSignal_,
                                 &flushAckSignal_, &outputReadySignal_, &writeDoneSignal_,
                                 &outputFlushSignal_}) {
        if (!signal->Create()) {
            SetLastOpenError(ecOutOfMemory, "no events left");
            return ecOutOfMemory;
        }
        signal->Reset();
    }
    const std::string path = DeviceNameFor(name);
    int code = 0;
    std::string text;
    HANDLE device = OpenDevice(path, code, text);
    if (device == INVALID_HANDLE_VALUE) {
        SetLastOpenError(code, text);
        return -1;
    }
    if (!readDoneSignal_.Create() || !watchDoneSignal_.Create()) {
        ::CloseHandle(device);
        SetLastOpenError(ecOutOfMemory, "no events left");
        return ecOutOfMemory;
    }
    {
        std::lock_guard lock(pathMutex_);
        path_ = path;
    }
    inQueLeft_ = 0;
    waitMask_ = kEventMask;
    device_ = reinterpret_cast<std::intptr_t>(device);
    return 0;
}

bool TApdWin32Dispatcher::DeviceSetup(std::uint32_t inSize, std::uint32_t outSize) {
    if (Device() == kNoDevice) return false;
    if (::SetupComm(AsHandle(Device()), inSize, outSize)) return true;
    // Drivers that keep queues of a fixed size refuse; the rings are ours either way.
    return true;
}

void TApdWin32Dispatcher::ReleaseDevice() {
    readDoneSignal_.Close();
    watchDoneSignal_.Close();
    const std::intptr_t device = device_.exchange(kNoDevice);
    if (device != kNoDevice) ::CloseHandle(AsHandle(device));
}

int TApdWin32Dispatcher::DeviceClose() {
    if (threadsStarted_) {
        // The workers still run: ask them to stop. The handle is closed once they have been
        // joined (StopThreads), so that none of them uses it afterwards.
        killThreads_ = true;
        if (Device() != kNoDevice) ::SetCommMask(AsHandle(Device()), 0);  // ends a pending event wait
        WakeWorkers();
        return 0;
    }
    ReleaseDevice();
    return 0;
}

// --- threads ------------------------------------------------------------------------------------

void TApdWin32Dispatcher::WakeWorkers() {
    serviceDoneSignal_.Set();
    deviceEventSignal_.Set();
    outputFlushSignal_.Set();
}

void TApdWin32Dispatcher::RunWorker(TWorker worker) {
    try {
        switch (worker) {
        case TWorker::device: DeviceThreadBody(); break;
        case TWorker::dispatcher: DispatcherThreadBody(); break;
        case TWorker::output: OutputThreadBody(); break;
        }
    } catch (const std::exception& e) {
        EndedByError(worker, e.what());
    } catch (...) {
        EndedByError(worker, "unknown error");
    }
    ThreadGone(worker);
}

void TApdWin32Dispatcher::EndedByError(TWorker worker, const std::string& what) {
    const char* name = worker == TWorker::device       ? "device thread"
                       : worker == TWorker::dispatcher ? "dispatcher thread"
                                                       : "output thread";
    const std::string port = DeviceNameText();
    const std::string path = DevicePath();
    const std::string label = port.empty() ? path : path.empty() ? port : port + " (" + path + ")";
    const std::string text = label + ": the " + name + " ended by an error: " + what;
    if (RecordWorkerFailure(worker, text) <= 0) std::fprintf(stderr, "kavodown: %s\n", text.c_str());
    if (worker == TWorker::dispatcher) releaseOnLastThread_ = closePending_.load();
    if (Device() != kNoDevice) ::SetCommMask(AsHandle(Device()), 0);
    WakeWorkers();
}

void TApdWin32Dispatcher::StartThreads() {
    {
        std::lock_guard lock(StateLock());
        if (threadsStarted_) throw std::runtime_error("Dispatcher already started");
        threadsStarted_ = true;
        killThreads_ = false;
    }
    JoinEnded();
    startAckSignal_.Reset();
    // All three count from the start: a worker that ends at once (its device fails its first
    // wait) must not bring the count to 0 and clear threadsStarted_ while the others are still
    // to come, or no stop would ever wake them.
    activeThreads_.fetch_add(3);
    struct Start {
        std::jthread& thread;
        std::atomic<bool>& alive;
        TWorker worker;
    };
    for (Start start : {Start{deviceThread_, deviceAlive_, TWorker::device},
                        Start{dispatcherThread_, dispatcherAlive_, TWorker::dispatcher},
                        Start{outputThread_, outputAlive_, TWorker::output}}) {
        start.alive = true;
        const TWorker worker = start.worker;
        start.thread = std::jthread([this, worker] { RunWorker(worker); });
        startAckSignal_.Wait(kStartAckMs);
    }
    ApplyThreadBoost(ThreadBoost());
}

void TApdWin32Dispatcher::ForgetThread(TWorker worker) {
    switch (worker) {
    case TWorker::device: deviceAlive_ = false; break;
    case TWorker::dispatcher: dispatcherAlive_ = false; break;
    case TWorker::output: outputAlive_ = false; break;
    }
}

void TApdWin32Dispatcher::WaitGone(std::atomic<bool>& alive, int ticks) {
    TickTimer timer;
    StartTickTimer(timer, ticks);
    // Pumping matters: the dispatcher thread may be blocked in a send to a window of this thread.
    while (alive.load() && (ticks <= 0 || !TickTimerExpired(timer))) {
        if (PumpOneMessage() == 0) WaitForMessage(2);
    }
}

void TApdWin32Dispatcher::JoinEnded() {
    const auto self = std::this_thread::get_id();
    for (std::jthread* thread : {&deviceThread_, &dispatcherThread_, &outputThread_}) {
        if (thread->joinable() && thread->get_id() != self) thread->join();
    }
}

bool TApdWin32Dispatcher::IsWorkerThread() const {
    const auto self = std::this_thread::get_id();
    return self == deviceThread_.get_id() || self == dispatcherThread_.get_id() ||
           self == outputThread_.get_id();
}

void TApdWin32Dispatcher::ReleaseBuffers() {
    std::unique_lock stop(stopMutex_, std::defer_lock);
    if (IsWorkerThread()) {
        // The dispatcher thread ending after a close from a delivery. If another thread is
        // stopping the workers right now, that thread releases everything once we are gone.
        if (!stop.try_lock()) return;
    } else {
        stop.lock();
    }
    TApdBaseDispatcher::ReleaseBuffers();
    // Workers that all ended on their own (a close wakes every one of them) left no stop to do:
    // join them and release the device here.
    if (!threadsStarted_) StopThreads();
}

void TApdWin32Dispatcher::StopThreads() {
    std::lock_guard stop(stopMutex_);
    const auto self = std::this_thread::get_id();
    if (threadsStarted_) {
        killThreads_ = true;
        deviceEventSignal_.Set();  // the dispatcher thread need not finish its 50 ms wait
        if (outputThread_.joinable() && outputThread_.get_id() != self) {
            outputFlushSignal_.Set();
            WaitGone(outputAlive_, 0);
        }
        if (deviceThread_.joinable() && deviceThread_.get_id() != self) {
            if (Device() != kNoDevice) ::SetCommMask(AsHandle(Device()), 0);
            serviceDoneSignal_.Set();
            WaitGone(deviceAlive_, 0);
        }
        if (dispatcherThread_.joinable() && dispatcherThread_.get_id() != self) {
            WaitGone(dispatcherAlive_, kDispatcherStopTicks);
            if (dispatcherAlive_) {
                deviceEventSignal_.Set();
                WaitGone(dispatcherAlive_, kDispatcherStopTicks);
            }
            // A handler that never returns keeps the thread; buffers must not be freed under it.
            if (dispatcherAlive_) {
                std::fprintf(stderr, "kavodown: waiting for a trigger handler of %s to return\n",
                             DevicePath().c_str());
                WaitGone(dispatcherAlive_, 0);
            }
        }
    }
    JoinEnded();
    ReleaseDevice();
}

bool TApdWin32Dispatcher::NextDeviceEvent(void* record, std::uint32_t& mask) {
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    HANDLE device = AsHandle(Device());
    DWORD reported = 0;
    if (!::WaitCommEvent(device, &reported, overlapped)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER && (waitMask_ & evRingEnd)) {
            // The ring-end event is refused here: ask without it from now on.
            waitMask_ = kEventMask;
            ::SetCommMask(device, kEventMask);
            mask = 0;
            return true;
        }
        if (error == ERROR_NOT_SUPPORTED && waitMask_ != kDataEventMask) {
            // A driver without modem-line events (Wine on a pty, some virtual ports): the data
            // events alone from now on; the lines are still read when asked for.
            waitMask_ = kDataEventMask;
            ::SetCommMask(device, kDataEventMask);
            mask = 0;
            return true;
        }
        if (error != ERROR_IO_PENDING) {
            if (!LostByError(error)) throw std::runtime_error("WaitCommEvent failed: " + std::to_string(error));
            return false;
        }
        DWORD ignored = 0;
        const BOOL done = ::GetOverlappedResult(device, overlapped, &ignored, TRUE);
        error = done ? 0 : ::GetLastError();
        ::ResetEvent(overlapped->hEvent);
        if (killThreads_ || WorkerFailed()) return false;
        // Completed with "aborted" and an empty mask while nobody stops the port: look again.
        if (!done && error != ERROR_OPERATION_ABORTED) {
            if (!LostByError(error)) throw std::runtime_error("event wait failed: " + std::to_string(error));
            return false;
        }
    }
    mask = reported;
    if (mask & (EV_RING | evRingEnd)) ringEnded_ = true;
    return true;
}

void TApdWin32Dispatcher::DeviceThreadBody() {
    OVERLAPPED overlapped{};
    TEventSignal event(true);
    if (!event.Create()) throw std::runtime_error("no event for the device thread");
    overlapped.hEvent = AsHandle(event.Native());
    HANDLE device = AsHandle(Device());
    if (!::SetCommMask(device, waitMask_)) {
        waitMask_ = kEventMask;
        ::SetCommMask(device, kEventMask);
    }
    // A read returns at once with what is waiting; one that finds nothing waits for the first
    // byte, at most one pass interval (the read watch; the passes ask only for waiting bytes).
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kPassIntervalMs, 0, 0};
    ::SetCommTimeouts(device, &timeouts);
    startAckSignal_.Set();
    while (!killThreads_ && !WorkerFailed() && !DeviceLost()) {
        std::uint32_t mask = 0;
        if (!NextDeviceEvent(&overlapped, mask)) break;
        if (killThreads_ || WorkerFailed()) break;
        // An empty mask (a spurious completion) reports nothing: the wait is armed again after
        // the next pass, which comes within a pass interval or when a byte arrives (the read
        // watch), so a driver that completes its waits spuriously never makes this thread spin
        // nor adds passes of its own.
        if (mask != 0) {
            eventMask_.fetch_or(mask);
            deviceEventSignal_.Set();
        }
        serviceDoneSignal_.Wait(-1);
    }
}

void TApdWin32Dispatcher::DispatcherThreadBody() {
    OVERLAPPED watch{};
    watch.hEvent = AsHandle(watchDoneSignal_.Native());
    startAckSignal_.Set();
    for (;;) {
        if (!ArmReadWatch(&watch)) {
            // The next pass comes with a device event or the watch's byte, else after the pass
            // interval, or sooner when a timer trigger expires: nothing else wakes this thread.
            const int wait = static_cast<int>(PassWaitMs(kPassIntervalMs));
            if (watchPending_) {
                TEventSignal::WaitAny({&deviceEventSignal_, &watchDoneSignal_}, wait);
            } else {
                deviceEventSignal_.Wait(wait);
            }
        }
        CollectReadWatch(&watch);
        if (killThreads_ || WorkerFailed()) break;
        ServiceDevice();
        ServiceTimers();
        if (killThreads_ || closePending_) break;
    }
    EndReadWatch(&watch);
    releaseOnLastThread_ = closePending_.load();
}

bool TApdWin32Dispatcher::ArmReadWatch(void* record) {
    // A byte still held (the receive ring had no room for it) waits for the next pass as the
    // driver's bytes do.
    if (heldByte_ >= 0 || watchPending_ || Device() == kNoDevice || DeviceLost() || killThreads_) return false;
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    DWORD error;
    {
        std::lock_guard lock(watchMutex_);
        watchStale_ = false;
        watchPending_ = true;
        DWORD got = 0;
        if (::ReadFile(AsHandle(Device()), &watchByte_, 1, &got, overlapped)) {
            watchDoneSignal_.Reset();
            watchPending_ = false;
            if (got == 1) heldByte_ = watchByte_;
            return heldByte_ >= 0;
        }
        error = ::GetLastError();
        if (error == ERROR_IO_PENDING) return false;
        watchPending_ = false;
        watchDoneSignal_.Reset();
    }
    if (error != ERROR_SEM_TIMEOUT && error != ERROR_OPERATION_ABORTED) LostByError(error);
    return false;
}

void TApdWin32Dispatcher::CollectReadWatch(void* record) {
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    DWORD error = 0;
    {
        // Under the lock an input purge comes either before the byte is taken (and marks it
        // stale) or after it (and drops it).
        std::lock_guard lock(watchMutex_);
        if (!watchPending_ || !HasOverlappedIoCompleted(overlapped)) return;
        DWORD got = 0;
        const BOOL done = ::GetOverlappedResult(AsHandle(Device()), overlapped, &got, FALSE);
        if (!done) error = ::GetLastError();
        watchDoneSignal_.Reset();
        watchPending_ = false;
        // A watch that ends by its time-out (1460 on some drivers, success with nothing on
        // others) or by an input purge read nothing.
        if (done && got == 1 && !watchStale_) heldByte_ = watchByte_;
    }
    if (error != 0 && error != ERROR_SEM_TIMEOUT && error != ERROR_OPERATION_ABORTED) LostByError(error);
}

void TApdWin32Dispatcher::EndReadWatch(void* record) {
    if (!watchPending_) return;
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    // Its buffer and record must not go while the read runs. A driver that cannot cancel it
    // ends it by the time-out.
    ::CancelIoEx(AsHandle(Device()), overlapped);
    DWORD got = 0;
    ::GetOverlappedResult(AsHandle(Device()), overlapped, &got, TRUE);
    std::lock_guard lock(watchMutex_);
    watchDoneSignal_.Reset();
    watchPending_ = false;
}

void TApdWin32Dispatcher::OutputThreadBody() {
    startAckSignal_.Set();
    for (;;) {
        const int index = TEventSignal::WaitAny({&outputReadySignal_, &outputFlushSignal_}, -1);
        if (killThreads_ || WorkerFailed()) return;
        if (index == 0) {
            WriteLoop();
        } else if (index == 1) {
            flushAckSignal_.Set();
        }
        if (killThreads_ || closePending_) return;
    }
}

long TApdWin32Dispatcher::WriteRun(const std::uint8_t* data, std::uint32_t length, void* record) {
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    HANDLE device = AsHandle(Device());
    DWORD written = 0;
    if (::WriteFile(device, data, length, &written, overlapped)) return static_cast<long>(written);
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        // Gone: the line goes down; anything else drops the run.
        LostByError(error);
        return static_cast<long>(length);
    }
    const int index = TEventSignal::WaitAny({&writeDoneSignal_, &outputFlushSignal_}, -1);
    if (index != 0) {
        // A flush or a stop: cancel the write and let it complete before its buffer is touched.
        ::CancelIoEx(device, overlapped);
        ::GetOverlappedResult(device, overlapped, &written, TRUE);
        writeDoneSignal_.Reset();
        return -1;
    }
    const BOOL done = ::GetOverlappedResult(device, overlapped, &written, FALSE);
    writeDoneSignal_.Reset();
    if (!done) {
        // A failed completion keeps the run for the next round, unless the device is gone.
        return LostByError(::GetLastError()) ? static_cast<long>(length) : 0;
    }
    return static_cast<long>(written);
}

void TApdWin32Dispatcher::WriteLoop() {
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(writeDoneSignal_.Native());
    bool wrote = false;
    for (;;) {
        std::span<const std::uint8_t> run;
        std::uint32_t generation;
        {
            std::lock_guard lock(OutputLock());
            generation = outRing_.Generation();
            if (outRing_.Empty()) break;
            if (DeviceLost() || !outRing_.Allocated()) {
                outRing_.Clear();
                break;
            }
            run = outRing_.NextRun();
        }
        const long written = WriteRun(run.data(), static_cast<std::uint32_t>(run.size()), &overlapped);
        if (written < 0) {
            flushAckSignal_.Set();
            return;
        }
        {
            std::lock_guard lock(OutputLock());
            if (generation == outRing_.Generation()) outRing_.Consume(static_cast<std::uint32_t>(written));
        }
        OutputMoved();
        wrote = wrote || written > 0;
        if (killThreads_) return;
    }
    // The ring drained: let the dispatcher thread look at the output triggers now.
    if (wrote) deviceEventSignal_.Set();
}

bool TApdWin32Dispatcher::LostByError(unsigned long error) {
    if (!MeansDeviceGone(error)) return false;
    MarkDeviceLost();
    deviceEventSignal_.Set();
    return true;
}

void TApdWin32Dispatcher::ServiceDone() { serviceDoneSignal_.Set(); }

// --- device operations ----------------------------------------------------------------------------

int TApdWin32Dispatcher::DeviceEscape(int function) {
    if (Device() == kNoDevice) return 0;
    // A device without modem lines has nothing to drive.
    ::EscapeCommFunction(AsHandle(Device()), static_cast<DWORD>(function));
    return 0;
}

int TApdWin32Dispatcher::DevicePurge(bool input) {
    if (!input) {
        if (outputAlive_ && !killThreads_ && !WorkerFailed()) {
            flushAckSignal_.Reset();
            outputFlushSignal_.Set();
            flushAckSignal_.Wait(kFlushAckMs);
        }
        {
            std::lock_guard out(OutputLock());
            outRing_.Clear();
        }
        OutputMoved();
    }
    // An input purge also drops the read watch's byte, a lost device's too: the one it holds,
    // and the one of a watch that completed before the purge and is not collected yet.
    DWORD error = 0;
    {
        std::unique_lock watchLock(watchMutex_, std::defer_lock);
        if (input) watchLock.lock();
        if (Device() != kNoDevice && !DeviceLost() &&
            !::PurgeComm(AsHandle(Device()), input ? kPurgeInput : kPurgeOutput)) {
            error = ::GetLastError();
        }
        if (input) {
            inQueLeft_ = 0;
            heldByte_ = -1;
            if (watchPending_ && watchDoneSignal_.IsSet()) watchStale_ = true;
        }
    }
    if (error == 0) return 0;
    return LostByError(error) ? 0 : -static_cast<int>(error);
}

std::uint32_t TApdWin32Dispatcher::DeviceStatus(TDeviceStatusRecord& status) {
    status.inQue = 0;
    std::uint32_t errors = 0;
    if (Device() != kNoDevice && !DeviceLost()) {
        DWORD flags = 0;
        COMSTAT stat{};
        if (::ClearCommError(AsHandle(Device()), &flags, &stat)) {
            // Bytes that come while the read watch is pending are its own: they are counted once
            // it has completed.
            status.inQue = watchPending_ ? 0 : stat.cbInQue;
            // The driver's flags are the line error bits (overflow, overrun, parity, framing, break).
            errors = flags & (leOverflow | leOverrun | leParity | leFraming | leBreak);
        } else {
            LostByError(::GetLastError());
        }
    }
    inQueLeft_ = status.inQue;
    if (heldByte_ >= 0) ++status.inQue;
    std::lock_guard out(OutputLock());
    status.outQue = outRing_.Used();
    return errors;
}

int TApdWin32Dispatcher::DeviceGetState(TDeviceBlock& block) {
    if (Device() == kNoDevice) return -1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(AsHandle(Device()), &dcb)) return -1;
    DcbToBlock(dcb, block);
    return 0;
}

int TApdWin32Dispatcher::DeviceSetState(const TDeviceBlock& block) {
    if (Device() == kNoDevice) return ecCommNotOpen;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(AsHandle(Device()), &dcb);
    BlockToDcb(block, dcb);
    if (::SetCommState(AsHandle(Device()), &dcb)) return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_INVALID_PARAMETER ? ecBaudRate : -static_cast<int>(error);
}

int TApdWin32Dispatcher::DeviceRead(std::uint8_t* buffer, std::uint32_t count) {
    if (count == 0) return 0;
    // The read watch's byte came first.
    const int held = heldByte_.exchange(-1);
    const int first = held >= 0 ? 1 : 0;
    if (held >= 0) *buffer++ = static_cast<std::uint8_t>(held);
    // Only what the driver said is waiting: a read then never waits for bytes to come.
    const DWORD want = watchPending_ ? 0 : std::min<std::uint32_t>(count - first, inQueLeft_);
    if (want == 0 || Device() == kNoDevice) return first;
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(readDoneSignal_.Native());
    HANDLE device = AsHandle(Device());
    DWORD got = 0;
    BOOL done = ::ReadFile(device, buffer, want, &got, &overlapped);
    DWORD error = done ? 0 : ::GetLastError();
    if (!done && error == ERROR_IO_PENDING) {
        done = ::GetOverlappedResult(device, &overlapped, &got, TRUE);
        error = done ? 0 : ::GetLastError();
    }
    readDoneSignal_.Reset();
    // A timed-out read is a read of what came; a vanished device takes the line down.
    if (!done && error != ERROR_SEM_TIMEOUT && error != ERROR_OPERATION_ABORTED) LostByError(error);
    inQueLeft_ -= std::min<std::uint32_t>(inQueLeft_, got);
    return first + static_cast<int>(got);
}

int TApdWin32Dispatcher::DeviceWrite(const std::uint8_t* data, std::uint32_t count) {
    {
        std::lock_guard out(OutputLock());
        outRing_.Queue(data, count);
    }
    outputReadySignal_.Set();
    return static_cast<int>(count);
}

int TApdWin32Dispatcher::DeviceIdle() {
    ::Sleep(0);  // give up the rest of the time slice
    return 0;
}

void TApdWin32Dispatcher::ApplyThreadBoost(int boost) {
    TApdBaseDispatcher::ApplyThreadBoost(boost);
    const int normal = THREAD_PRIORITY_NORMAL + boost;
    const int output = (RS485Mode() ? THREAD_PRIORITY_ABOVE_NORMAL : THREAD_PRIORITY_NORMAL) + boost;
    auto apply = [](std::jthread& thread, int priority) {
        if (thread.joinable()) ::SetThreadPriority(pthread_gethandle(thread.native_handle()), priority);
    };
    apply(deviceThread_, normal);
    apply(dispatcherThread_, normal);
    apply(outputThread_, output);
}

std::uint8_t TApdWin32Dispatcher::DeviceModemLevels() {
    DWORD status = 0;
    if (Device() == kNoDevice || !::GetCommModemStatus(AsHandle(Device()), &status)) return 0;
    // The system's bits are the modem status byte's levels (CTS, DSR, ring, carrier).
    return static_cast<std::uint8_t>(status & (msCts | msDsr | msRing | msDcd));
}

int TApdWin32Dispatcher::DeviceBreak(bool on) {
    if (Device() == kNoDevice) return 0;
    HANDLE device = AsHandle(Device());
    if (on ? ::SetCommBreak(device) : ::ClearCommBreak(device)) return 0;
    return 0;  // a device without a break has nothing to do
}

// --- the seam -------------------------------------------------------------------------------------

std::unique_ptr<TApdBaseDispatcher> MakeNativeDispatcher(TComponent* owner) {
    return std::make_unique<TApdWin32Dispatcher>(owner);
}

TDeviceProbe ProbeDevice(const std::string& name) {
    TDeviceProbe probe;
    probe.code = TApdWin32Dispatcher::Probe(name, probe.text);
    return probe;
}

}  // namespace kavo
