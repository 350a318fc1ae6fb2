#include "serial/posix_dispatcher.h"

#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"

namespace kavo {
namespace {

constexpr int kStartAckMs = 3000;
constexpr int kFlushAckMs = 5000;
constexpr int kPassIntervalMs = 50;
constexpr int kDispatcherStopTicks = 36;  // about 2 s, twice

bool IsHangUp(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

}  // namespace

TApdPosixDispatcher::TApdPosixDispatcher(TComponent* owner) : TApdBaseDispatcher(owner) {}

TApdPosixDispatcher::~TApdPosixDispatcher() {
    Shutdown();
    JoinEnded();
    ReleaseDevice();
}

std::string TApdPosixDispatcher::DevicePath() {
    std::lock_guard lock(deviceMutex_);
    return device_.Path();
}

// --- opening and closing ----------------------------------------------------------------------

int TApdPosixDispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t) {
    for (TEventSignal* signal : {&deviceEventSignal_, &serviceDoneSignal_, &startAckSignal_,
                                 &flushAckSignal_, &outputReadySignal_, &outputFlushSignal_,
                                 &deviceWakeSignal_}) {
        if (!signal->Create()) {
            SetLastOpenError(ecOutOfMemory, "no event descriptors left");
            return ecOutOfMemory;
        }
        signal->Reset();
    }
    std::lock_guard lock(deviceMutex_);
    if (device_.Open(name) != 0) {
        SetLastOpenError(device_.Error(), device_.ErrorText());
        return -1;
    }
    shadow_ = TDeviceBlock{};
    modemLinesSupported_ = countersSupported_ = true;
    haveCounters_ = false;
    lastLevels_ = 0;
    return device_.Fd();
}

bool TApdPosixDispatcher::DeviceSetup(std::uint32_t, std::uint32_t) {
    // The driver's queues have fixed sizes here; the receive and output rings are ours.
    std::lock_guard lock(deviceMutex_);
    return device_.IsOpen();
}

void TApdPosixDispatcher::ReleaseDevice() {
    std::lock_guard lock(deviceMutex_);
    device_.Release();
}

int TApdPosixDispatcher::DeviceClose() {
    if (threadsStarted_) {
        // The workers still run: ask them to stop. The device is released once they have ended
        // (StopThreads), so that none of them can use it afterwards.
        RequestStop();
        return 0;
    }
    ReleaseDevice();
    return 0;
}

// --- threads ------------------------------------------------------------------------------------

void TApdPosixDispatcher::WakeWorkers() {
    deviceWakeSignal_.Set();
    serviceDoneSignal_.Set();
    deviceEventSignal_.Set();
    outputFlushSignal_.Set();
}

void TApdPosixDispatcher::RequestStop() {
    killThreads_ = true;
    for (std::jthread* thread : {&deviceThread_, &dispatcherThread_, &outputThread_}) thread->request_stop();
    WakeWorkers();
}

bool TApdPosixDispatcher::Ending(const std::stop_token& stop) const {
    return stop.stop_requested() || killThreads_ || WorkerFailed();
}

void TApdPosixDispatcher::RunWorker(std::stop_token stop, TWorker worker) {
    try {
        switch (worker) {
        case TWorker::device: DeviceThreadBody(stop); break;
        case TWorker::dispatcher: DispatcherThreadBody(stop); break;
        case TWorker::output: OutputThreadBody(stop); break;
        }
    } catch (const std::exception& e) {
        EndedByError(worker, e.what());
    } catch (...) {
        EndedByError(worker, "unknown error");
    }
    ThreadGone(worker);
}

void TApdPosixDispatcher::EndedByError(TWorker worker, const std::string& what) {
    const char* name = worker == TWorker::device       ? "device thread"
                       : worker == TWorker::dispatcher ? "dispatcher thread"
                                                       : "output thread";
    const std::string port = DeviceNameText();
    const std::string path = DevicePath();
    const std::string label = port.empty() ? path : path.empty() ? port : port + " (" + path + ")";
    const std::string text = label + ": the " + name + " ended by an error: " + what;
    // Nobody to tell (no window attached), or a second failure after the first: nothing is lost.
    if (RecordWorkerFailure(worker, text) <= 0) std::fprintf(stderr, "kavodown: %s\n", text.c_str());
    if (worker == TWorker::dispatcher) releaseOnLastThread_ = closePending_.load();
    // The port is down: the other workers leave their waits and end.
    WakeWorkers();
}

void TApdPosixDispatcher::StartThreads() {
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
        TWorker worker = start.worker;
        start.thread = std::jthread([this, worker](std::stop_token stop) { RunWorker(stop, worker); });
        startAckSignal_.Wait(kStartAckMs);
    }
}

void TApdPosixDispatcher::ForgetThread(TWorker worker) {
    switch (worker) {
    case TWorker::device: deviceAlive_ = false; break;
    case TWorker::dispatcher: dispatcherAlive_ = false; break;
    case TWorker::output: outputAlive_ = false; break;
    }
}

void TApdPosixDispatcher::WaitGone(std::atomic<bool>& alive, int ticks) {
    TickTimer timer;
    StartTickTimer(timer, ticks);
    // Pumping matters: the dispatcher thread may be blocked in a send to a window of this thread.
    while (alive.load() && (ticks <= 0 || !TickTimerExpired(timer))) {
        if (PumpOneMessage() == 0) WaitForMessage(2);
    }
}

void TApdPosixDispatcher::JoinEnded() {
    auto self = std::this_thread::get_id();
    for (std::jthread* thread : {&deviceThread_, &dispatcherThread_, &outputThread_}) {
        if (thread->joinable() && thread->get_id() != self) thread->join();
    }
}

bool TApdPosixDispatcher::IsWorkerThread() const {
    auto self = std::this_thread::get_id();
    return self == deviceThread_.get_id() || self == dispatcherThread_.get_id() ||
           self == outputThread_.get_id();
}

void TApdPosixDispatcher::ReleaseBuffers() {
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

void TApdPosixDispatcher::StopThreads() {
    std::lock_guard stop(stopMutex_);
    auto self = std::this_thread::get_id();
    if (threadsStarted_) {
        // Every wait of every worker ends; the dispatcher thread need not finish its 50 ms wait.
        RequestStop();
        if (outputThread_.joinable() && outputThread_.get_id() != self) WaitGone(outputAlive_, 0);
        if (deviceThread_.joinable() && deviceThread_.get_id() != self) WaitGone(deviceAlive_, 0);
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

void TApdPosixDispatcher::DeviceThreadBody(std::stop_token stop) {
    startAckSignal_.Set();
    int fd;
    {
        std::lock_guard lock(deviceMutex_);
        fd = device_.Fd();
    }
    while (!Ending(stop)) {
        bool watchDevice = !DeviceLost() && !ReceiveRingIsFull();
        short revents = 0;
        int index = TEventSignal::WaitAnyOrFd({&deviceWakeSignal_}, -1, watchDevice ? fd : -1, POLLIN,
                                          &revents);
        if (Ending(stop)) break;
        WorkerTurn(TWorker::device);
        if (index != 1) continue;  // woken: look again
        NoteDeviceReadable(revents);
        // A pass that ran without this event (the dispatcher's timed passes) left its release
        // behind; taken now, the wait below lasts until the pass that serves this event, instead
        // of letting this thread poll the unread device once more and compete with that pass.
        // A stop sets its flag before it releases the wait, so it is seen here or released there.
        serviceDoneSignal_.Reset();
        if (Ending(stop)) break;
        deviceEventSignal_.Set();
        serviceDoneSignal_.Wait(-1);
    }
}

void TApdPosixDispatcher::NoteDeviceReadable(short revents) {
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) MarkDeviceLost();
    eventMask_.fetch_or(evRxChar);  // after a hang-up: collect what the device still holds
}

void TApdPosixDispatcher::DispatcherThreadBody(std::stop_token stop) {
    startAckSignal_.Set();
    int fd;
    {
        std::lock_guard lock(deviceMutex_);
        fd = device_.Fd();
    }
    // Between passes this thread watches the device for input too, so that an arrival starts the
    // pass that answers it at once instead of after the device thread has woken and reported it
    // (a second thread's wake-up on the way from a received ACK to the next block). The device
    // thread's report of the same arrival, if it comes, finds the bytes taken. A pass woken by
    // the device that took nothing from it (a device that reports input it does not give) leaves
    // the watching to the device thread until the next other wake-up, so this thread never spins.
    bool watchDevice = true;
    for (;;) {
        const bool watching = watchDevice && !DeviceLost() && !ReceiveRingIsFull();
        // The next pass comes with an event, else after the pass interval, or sooner when a
        // timer trigger expires: a timer fires on time, not at the next pass after it expired.
        const int wait = static_cast<int>(PassWaitMs(kPassIntervalMs));
        short revents = 0;
        const int index = TEventSignal::WaitAnyOrFd({&deviceEventSignal_}, wait, watching ? fd : -1,
                                                    POLLIN, &revents);
        if (Ending(stop)) {
            releaseOnLastThread_ = closePending_.load();
            return;
        }
        const bool byDevice = index == 1;
        if (byDevice) NoteDeviceReadable(revents);
        const std::uint64_t takenBefore = bytesTaken_;
        WorkerTurn(TWorker::dispatcher);
        // Modem line changes have no event of their own here: while someone waits for one,
        // compare the levels once a pass.
        if (ModemWatchWanted()) {
            std::uint8_t levels = DeviceModemLevels();
            passLevels_ = levels;
            if (levels != lastLevels_) {
                lastLevels_ = levels;
                eventMask_.fetch_or(evCts | evDsr | evRlsd);
            }
        }
        ServiceDevice();
        passLevels_ = -1;
        ServiceTimers();
        if (Ending(stop) || closePending_) break;
        watchDevice = !byDevice || bytesTaken_ != takenBefore;
    }
    releaseOnLastThread_ = closePending_.load();
}

void TApdPosixDispatcher::OutputThreadBody(std::stop_token stop) {
    startAckSignal_.Set();
    for (;;) {
        int index = TEventSignal::WaitAny({&outputReadySignal_, &outputFlushSignal_}, -1);
        if (index == 0) {
            if (Ending(stop)) return;
            WorkerTurn(TWorker::output);
            WriteLoop(stop);
        } else if (index == 1) {
            flushAckSignal_.Set();
        }
        if (Ending(stop) || closePending_) return;
    }
}

void TApdPosixDispatcher::WriteLoop(const std::stop_token& stop) {
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
            outputWriting_ = true;
        }
        const auto length = static_cast<std::uint32_t>(run.size());
        ssize_t written;
        int error = 0;
        {
            std::lock_guard lock(deviceMutex_);
            written = device_.IsOpen() ? WriteToDevice(device_.Fd(), run.data(), length) : -1;
            if (written < 0) error = device_.IsOpen() ? errno : EBADF;
        }
        const bool again = written < 0 && (error == EAGAIN || error == EINTR);
        const bool hungUp = written < 0 && IsHangUp(error);
        bool flushed;
        {
            std::lock_guard lock(OutputLock());
            outputWriting_ = false;
            flushed = generation != outRing_.Generation();
            // Written, or failed for another reason: then the run is dropped.
            if (!again && !hungUp && !flushed)
                outRing_.Consume(written < 0 ? length : static_cast<std::uint32_t>(written));
        }
        if (again) {
            if (error == EINTR) continue;
            int fd;
            {
                std::lock_guard lock(deviceMutex_);
                fd = device_.Fd();
            }
            short revents = 0;
            int index = TEventSignal::WaitAnyOrFd({&outputFlushSignal_}, -1, fd, POLLOUT, &revents);
            if (index == 0) {
                flushAckSignal_.Set();
                return;
            }
            if (Ending(stop)) return;
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) LostByError(EIO);
            continue;
        }
        if (hungUp) {
            LostByError(error);
            continue;  // the ring is dropped now
        }
        if (flushed) continue;  // flushed meanwhile: nothing to move
        OutputMoved();
        wrote = true;
        if (Ending(stop)) return;
    }
    // The ring drained: let the dispatcher thread look at the output triggers now.
    if (wrote) deviceEventSignal_.Set();
}

void TApdPosixDispatcher::LostByError(int) {
    MarkDeviceLost();
    deviceWakeSignal_.Set();
    deviceEventSignal_.Set();
}

void TApdPosixDispatcher::ServiceDone() { serviceDoneSignal_.Set(); }

void TApdPosixDispatcher::ReceiveSpaceFreed() { deviceWakeSignal_.Set(); }

// --- device operations ----------------------------------------------------------------------------

int TApdPosixDispatcher::DeviceEscape(int function) {
    int bits = (function == efSetDtr || function == efClrDtr) ? TIOCM_DTR : TIOCM_RTS;
    bool set = function == efSetDtr || function == efSetRts;
    std::lock_guard lock(deviceMutex_);
    if (!device_.IsOpen()) return 0;
    if (::ioctl(device_.Fd(), set ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        // A device without modem lines (a pty) has nothing to drive.
        if (errno == ENOTTY || errno == EINVAL) return 0;
        return -errno;
    }
    return 0;
}

int TApdPosixDispatcher::DevicePurge(bool input) {
    if (!input) {
        // After a worker's failure the output thread is ending or gone: it acknowledges nothing.
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
    std::lock_guard lock(deviceMutex_);
    if (!device_.IsOpen() || DeviceLost()) return 0;
    int result = posix_line::Purge(device_.Fd(), input);
    return result == -ENOTTY || result == -EINVAL || IsHangUp(-result) ? 0 : result;
}

std::uint32_t TApdPosixDispatcher::DeviceStatus(TDeviceStatusRecord& status) {
    std::uint32_t errors = 0;
    status.inQue = 0;
    {
        std::lock_guard lock(deviceMutex_);
        if (device_.IsOpen()) {
            int waiting = 0;
            if (::ioctl(device_.Fd(), FIONREAD, &waiting) == 0 && waiting > 0)
                status.inQue = static_cast<std::uint32_t>(waiting);
            serial_icounter_struct counts{};
            if (countersSupported_ && ::ioctl(device_.Fd(), TIOCGICOUNT, &counts) == 0) {
                int now[5] = {counts.buf_overrun, counts.overrun, counts.parity, counts.frame,
                              counts.brk};
                if (haveCounters_) {
                    for (int i = 0; i < 5; ++i) {
                        if (now[i] != lastCounters_[i]) errors |= 1u << i;
                    }
                }
                std::memcpy(lastCounters_, now, sizeof now);
                haveCounters_ = true;
            } else {
                countersSupported_ = false;
            }
        }
    }
    std::lock_guard out(OutputLock());
    status.outQue = outRing_.Used();
    return errors;
}

int TApdPosixDispatcher::DeviceGetState(TDeviceBlock& block) {
    std::lock_guard lock(deviceMutex_);
    block = shadow_;
    if (!device_.IsOpen()) return -1;
    return posix_line::ReadBlock(device_.Fd(), block) == 0 ? 0 : -1;
}

int TApdPosixDispatcher::DeviceSetState(const TDeviceBlock& block) {
    std::lock_guard lock(deviceMutex_);
    if (!device_.IsOpen()) return ecCommNotOpen;
    int result = posix_line::WriteBlock(device_.Fd(), block);
    if (result == 0) shadow_ = block;
    if (result == -EINVAL) return ecBaudRate;
    return result;
}

int TApdPosixDispatcher::DeviceRead(std::uint8_t* buffer, std::uint32_t count) {
    ssize_t got;
    int error = 0;
    {
        std::lock_guard lock(deviceMutex_);
        if (!device_.IsOpen()) return 0;
        got = ::read(device_.Fd(), buffer, count);
        if (got < 0) error = errno;
    }
    if (got > 0) {
        bytesTaken_ += static_cast<std::uint64_t>(got);
        return static_cast<int>(got);
    }
    // With VMIN 1 a non-blocking read of an empty line fails with EAGAIN; 0 means hung up.
    if ((got == 0 && count > 0) || IsHangUp(error)) LostByError(error ? error : EIO);
    return 0;
}

ssize_t TApdPosixDispatcher::WriteToDevice(int fd, const std::uint8_t* data, std::size_t count) {
    return ::write(fd, data, count);
}

int TApdPosixDispatcher::DeviceWrite(const std::uint8_t* data, std::uint32_t count) {
    std::lock_guard out(OutputLock());
    if (count == 0) return 0;
    std::uint32_t done = 0;
    // Straight to the device only when nothing is ahead of the block: no byte in the ring, none
    // on its way from the ring to the device.
    if (outRing_.Empty() && !outputWriting_ && outRing_.Allocated() && !DeviceLost() &&
        !killThreads_) {
        ssize_t written;
        int error = 0;
        {
            std::lock_guard lock(deviceMutex_);
            if (!device_.IsOpen()) {
                written = -1;
                error = EAGAIN;  // left to the ring, as before the device is there
            } else {
                do {
                    written = WriteToDevice(device_.Fd(), data, count);
                    error = written < 0 ? errno : 0;
                } while (written < 0 && error == EINTR);
            }
        }
        if (written >= 0) {
            done = static_cast<std::uint32_t>(std::min<ssize_t>(written, count));
        } else if (IsHangUp(error)) {
            // As on the output thread: the line goes down and what was to be written is dropped.
            LostByError(error);
            return static_cast<int>(count);
        } else if (error != EAGAIN) {
            done = count;  // failed for another reason: dropped, as the output thread drops a run
        }
    }
    if (done < count) {
        outRing_.Queue(data + done, count - done);
        outputReadySignal_.Set();
    } else {
        // Written whole: the ring stays empty, and output-buffer triggers may fire now.
        deviceEventSignal_.Set();
    }
    return static_cast<int>(count);
}

int TApdPosixDispatcher::DeviceIdle() {
    sched_yield();
    return 0;
}

std::uint8_t TApdPosixDispatcher::DeviceModemLevels() {
    std::lock_guard lock(deviceMutex_);
    if (!device_.IsOpen() || !modemLinesSupported_) return 0;
    int bits = 0;
    if (::ioctl(device_.Fd(), TIOCMGET, &bits) != 0) {
        modemLinesSupported_ = false;
        return 0;
    }
    std::uint8_t levels = 0;
    if (bits & TIOCM_CTS) levels |= msCts;
    if (bits & TIOCM_DSR) levels |= msDsr;
    if (bits & TIOCM_RI) levels |= msRing;
    if (bits & TIOCM_CD) levels |= msDcd;
    return levels;
}

int TApdPosixDispatcher::DeviceBreak(bool on) {
    std::lock_guard lock(deviceMutex_);
    if (!device_.IsOpen()) return 0;
    if (::ioctl(device_.Fd(), on ? TIOCSBRK : TIOCCBRK) != 0 && errno != ENOTTY && errno != EINVAL)
        return -errno;
    return 0;
}

}  // namespace kavo

namespace kavo {

std::uint32_t TApdPosixDispatcher::DeviceOutputQueued() {
    std::lock_guard lock(deviceMutex_);
    int queued = 0;
    if (!device_.IsOpen() || DeviceLost() || ::ioctl(device_.Fd(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::uint32_t>(queued);
}

}  // namespace kavo

namespace kavo {

std::unique_ptr<TApdBaseDispatcher> MakeNativeDispatcher(TComponent* owner) {
    return std::make_unique<TApdPosixDispatcher>(owner);
}

TDeviceProbe ProbeDevice(const std::string& name) {
    TPosixDevice device;
    device.Open(name);
    return {device.Error(), device.ErrorText()};
}

}  // namespace kavo
