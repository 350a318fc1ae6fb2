#include "serial/posix_dispatcher.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "serial/device_locks.h"
#include "serial/error_codes.h"
#include "serial/port_map.h"

namespace kavo {
namespace {

bool IsHangUp(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

// Runs `call` (a system call that returns -1 and sets errno on failure) again while it is
// interrupted or, a few times, while the device is momentarily unable to answer.
template <class Call>
int Retried(Call call) {
    for (int attempt = 0;; ++attempt) {
        int result = call();
        if (result >= 0 || attempt >= 20 || (errno != EINTR && errno != EAGAIN)) return result;
        if (errno == EAGAIN) ::usleep(5000);
    }
}

std::string HolderName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string comm;
    std::getline(in, comm);
    return std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")");
}

std::string BusyText(const std::string& path, const std::vector<std::string>& holders) {
    std::string text = path + " is held by another program";
    for (std::size_t i = 0; i < holders.size(); ++i) text += (i ? ", pid " : ": pid ") + holders[i];
    return text;
}

}  // namespace

TApdPosixDispatcher::TApdPosixDispatcher(TComponent* owner) : TApdBaseDispatcher(owner) {}

TApdPosixDispatcher::~TApdPosixDispatcher() {
    Shutdown();
    JoinEnded();
    ReleaseDevice();
}

bool TApdPosixDispatcher::PortAvailable(int number) {
    if (number <= 0) return false;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    TApdPosixDispatcher probe(nullptr);
    if (probe.DeviceOpen(name, 64, 64) >= 0) {
        probe.DeviceClose();
        return true;
    }
    // A port that this user may not open exists all the same: opening it tells why.
    return probe.LastOpenError() == ecAccessDenied || probe.LastOpenError() == ecDevicePermission;
}

void TApdPosixDispatcher::SetOpenFailure(int error, bool setUp, const std::string& path) {
    const std::string text = path + ": " + std::strerror(error);
    switch (error) {
    case ENOENT:
    case ENOTDIR: SetLastOpenError(ecFileNotFound, text + " (no such port)"); break;
    case ENODEV:
    case ENXIO: SetLastOpenError(ecFileNotFound, text + " (no device behind the port)"); break;
    case EACCES:
    case EPERM:
        SetLastOpenError(ecDevicePermission,
                         "no permission to open " + path +
                             "; add your user to the dialout group (or the device's group) "
                             "and log in again");
        break;
    case EBUSY: SetLastOpenError(ecAccessDenied, BusyText(path, DeviceHolders(path))); break;
    case ENOTTY:
    case EINVAL:
        if (setUp) {
            SetLastOpenError(ecFileNotFound, path + " is not a serial device");
            break;
        }
        [[fallthrough]];
    default: SetLastOpenError(ecHardware, text); break;
    }
}

std::string TApdPosixDispatcher::DevicePath() {
    std::lock_guard lock(deviceMutex_);
    return fd_ >= 0 ? path_ : std::string();
}

// --- opening and closing ----------------------------------------------------------------------

int TApdPosixDispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t) {
    int number = ComNumberFromDeviceName(name);
    std::string path = number > 0 ? ComPortPath(number) : (name.rfind('/', 0) == 0 ? name : "");
    if (path.empty()) {
        SetLastOpenError(ecFileNotFound, name + ": no device is assigned to this port number");
        return -1;
    }
    for (TEventSignal* signal : {&deviceEventSignal_, &serviceDoneSignal_, &threadAckSignal_,
                                 &outputReadySignal_, &writeDoneSignal_, &outputFlushSignal_,
                                 &deviceWakeSignal_}) {
        if (!signal->Create()) {
            SetLastOpenError(ecOutOfMemory, "no event descriptors left");
            return ecOutOfMemory;
        }
        signal->Reset();
    }

    // Another program's lock file: the port is busy before the device is even touched.
    const TLockResult lockFile = TakeDeviceLock(path);
    if (lockFile.outcome == TLockResult::held) {
        SetLastOpenError(ecAccessDenied, BusyText(path, {HolderName(lockFile.holder)}));
        return -1;
    }
    const bool lockTaken = lockFile.outcome == TLockResult::taken;
    auto fail = [&](int fd) {
        if (fd >= 0) ::close(fd);
        if (lockTaken) ReleaseLockFile(lockFile.lockPath);
        return -1;
    };

    int fd = Retried([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        SetOpenFailure(errno, false, path);
        return fail(-1);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            SetLastOpenError(ecAccessDenied, BusyText(path, DeviceHolders(path)));
        } else {
            SetOpenFailure(errno, true, path);
        }
        return fail(fd);
    }
    // Reading the settings changes nothing and tells a serial device from anything else.
    auto viaErrno = [](int result) {
        if (result < 0) errno = -result;
        return result;
    };
    posix_line::SavedLine saved;
    if (Retried([&] { return viaErrno(posix_line::SaveLine(fd, saved)); }) < 0) {
        SetOpenFailure(errno, true, path);
        return fail(fd);
    }
    // Exclusive use that someone else set (it does not keep root out), and programs that use
    // neither lock but have the device open. The flag outlives a holder that was killed while the
    // device itself lives on (a pty whose other end stays open): with nobody holding the device
    // it is stale and is taken over, as a stale lock file is. That needs a scan that sees every
    // process (root's); anyone else who gets past a live flag keeps treating it as busy.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = 0;
    const std::vector<std::string> holders = DeviceHolders(path);
    if (!holders.empty() || (exclusive && ::geteuid() != 0)) {
        SetLastOpenError(ecAccessDenied, BusyText(path, holders));
        return fail(fd);
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        SetOpenFailure(errno, true, path);
        return fail(fd);
    }
    if (Retried([&] { return viaErrno(posix_line::MakeRaw(fd)); }) < 0) {
        SetOpenFailure(errno, true, path);
        ::ioctl(fd, TIOCNXCL);
        return fail(fd);
    }
    // Drivers that hold received bytes back (USB adapters) pass them on at once when asked;
    // drivers and ptys that cannot are left as they are.
    bool lowLatencySet = false;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
    std::lock_guard lock(deviceMutex_);
    lowLatencySet_ = lowLatencySet;
    fd_ = fd;
    path_ = path;
    lockPath_ = lockTaken ? lockFile.lockPath : std::string();
    savedLine_ = saved;
    shadow_ = TDeviceBlock{};
    modemLinesSupported_ = countersSupported_ = true;
    haveCounters_ = false;
    lastLevels_ = 0;
    return fd;
}

bool TApdPosixDispatcher::DeviceSetup(std::uint32_t, std::uint32_t) {
    // The driver's queues have fixed sizes here; the receive and output rings are ours.
    std::lock_guard lock(deviceMutex_);
    return fd_ >= 0;
}

void TApdPosixDispatcher::ReleaseDevice() {
    std::lock_guard lock(deviceMutex_);
    if (fd_ < 0) return;
    posix_line::RestoreLine(fd_, savedLine_);
    serial_struct serial{};
    if (lowLatencySet_ && ::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;  // as it was before the open
        ::ioctl(fd_, TIOCSSERIAL, &serial);
    }
    lowLatencySet_ = false;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // releases the flock too
    fd_ = -1;
    ReleaseLockFile(lockPath_);
    lockPath_.clear();
}

int TApdPosixDispatcher::DeviceClose() {
    if (threadsStarted_) {
        // The workers still run: ask them to stop. The device is released once they have ended
        // (StopThreads), so that none of them can use it afterwards.
        killThreads_ = true;
        deviceWakeSignal_.Set();
        serviceDoneSignal_.Set();
        deviceEventSignal_.Set();
        threadAckSignal_.Reset();
        return 0;
    }
    ReleaseDevice();
    return 0;
}

// --- threads ------------------------------------------------------------------------------------

void TApdPosixDispatcher::RunWorker(TWorker worker) {
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
    deviceWakeSignal_.Set();
    serviceDoneSignal_.Set();
    deviceEventSignal_.Set();
    outputFlushSignal_.Set();
}

void TApdPosixDispatcher::StartThreads() {
    {
        std::lock_guard lock(StateLock());
        if (threadsStarted_) throw std::runtime_error("Dispatcher already started");
        threadsStarted_ = true;
        killThreads_ = false;
    }
    JoinEnded();
    threadAckSignal_.Reset();
    struct Start {
        std::thread& thread;
        std::atomic<bool>& alive;
        TWorker worker;
    };
    for (Start start : {Start{deviceThread_, deviceAlive_, TWorker::device},
                        Start{dispatcherThread_, dispatcherAlive_, TWorker::dispatcher},
                        Start{outputThread_, outputAlive_, TWorker::output}}) {
        activeThreads_.fetch_add(1);
        start.alive = true;
        TWorker worker = start.worker;
        start.thread = std::thread([this, worker] { RunWorker(worker); });
        threadAckSignal_.Wait(3000);
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
    for (std::thread* thread : {&deviceThread_, &dispatcherThread_, &outputThread_}) {
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
}

void TApdPosixDispatcher::StopThreads() {
    std::lock_guard stop(stopMutex_);
    auto self = std::this_thread::get_id();
    if (threadsStarted_) {
        killThreads_ = true;
        deviceEventSignal_.Set();  // the dispatcher thread need not finish its 50 ms wait
        if (outputThread_.joinable() && outputThread_.get_id() != self) {
            outputFlushSignal_.Set();
            WaitGone(outputAlive_, 0);
        }
        if (deviceThread_.joinable() && deviceThread_.get_id() != self) {
            deviceWakeSignal_.Set();
            serviceDoneSignal_.Set();
            threadAckSignal_.Reset();
            WaitGone(deviceAlive_, 0);
        }
        if (dispatcherThread_.joinable() && dispatcherThread_.get_id() != self) {
            WaitGone(dispatcherAlive_, 36);
            if (dispatcherAlive_) {
                deviceEventSignal_.Set();
                WaitGone(dispatcherAlive_, 36);
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

void TApdPosixDispatcher::DeviceThreadBody() {
    threadAckSignal_.Set();
    int fd;
    {
        std::lock_guard lock(deviceMutex_);
        fd = fd_;
    }
    while (!killThreads_ && !WorkerFailed()) {
        bool watchDevice = !DeviceLost() && !ReceiveRingIsFull();
        short revents = 0;
        int index = TEventSignal::WaitAny({&deviceWakeSignal_}, -1, watchDevice ? fd : -1, POLLIN,
                                          &revents);
        if (killThreads_ || WorkerFailed()) break;
        WorkerTurn(TWorker::device);
        if (index != 1) continue;  // woken: look again
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            MarkDeviceLost();
            eventMask_.fetch_or(evRxChar);  // collect what the device still holds
        } else {
            eventMask_.fetch_or(evRxChar);
        }
        deviceEventSignal_.Set();
        serviceDoneSignal_.Wait(-1);
    }
    threadAckSignal_.Set();
}

void TApdPosixDispatcher::DispatcherThreadBody() {
    threadAckSignal_.Set();
    for (;;) {
        deviceEventSignal_.Wait(50);
        if (killThreads_ || WorkerFailed()) {
            releaseOnLastThread_ = closePending_.load();
            return;
        }
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
        if (killThreads_ || closePending_) break;
    }
    threadAckSignal_.Set();
    releaseOnLastThread_ = closePending_.load();
}

void TApdPosixDispatcher::OutputThreadBody() {
    threadAckSignal_.Set();
    for (;;) {
        int index = TEventSignal::WaitAny({&outputReadySignal_, &outputFlushSignal_}, -1);
        if (index == 0) {
            if (killThreads_ || WorkerFailed()) return;
            WorkerTurn(TWorker::output);
            WriteLoop();
        } else if (index == 1) {
            threadAckSignal_.Set();
        }
        if (killThreads_ || closePending_ || WorkerFailed()) return;
    }
}

void TApdPosixDispatcher::WriteLoop() {
    bool wrote = false;
    for (;;) {
        const std::uint8_t* run;
        std::uint32_t length;
        std::uint32_t generation;
        {
            std::lock_guard lock(OutputLock());
            generation = outputGeneration_;
            if (!outputFull_ && outHead_ == outTail_) break;
            if (DeviceLost() || outBuffer_.empty()) {
                outHead_ = outTail_ = 0;
                outputFull_ = false;
                break;
            }
            if (outHead_ > outTail_) {
                length = outHead_ - outTail_;
            } else if (outHead_ == 0) {
                length = outSize_ - outTail_;
            } else {
                // Data at both ends: rotate so that one write takes all of it.
                std::vector<std::uint8_t> start(outBuffer_.begin(), outBuffer_.begin() + outHead_);
                std::memmove(outBuffer_.data(), outBuffer_.data() + outTail_, outSize_ - outTail_);
                std::memcpy(outBuffer_.data() + (outSize_ - outTail_), start.data(), start.size());
                outHead_ += outSize_ - outTail_;
                outTail_ = 0;
                length = outHead_;
                if (outHead_ == outSize_) outHead_ = 0;
            }
            run = outBuffer_.data() + outTail_;
            outputWriting_ = true;
        }
        ssize_t written;
        int error = 0;
        {
            std::lock_guard lock(deviceMutex_);
            written = fd_ >= 0 ? WriteToDevice(fd_, run, length) : -1;
            if (written < 0) error = fd_ >= 0 ? errno : EBADF;
        }
        const bool again = written < 0 && (error == EAGAIN || error == EINTR);
        const bool hungUp = written < 0 && IsHangUp(error);
        bool flushed;
        {
            std::lock_guard lock(OutputLock());
            outputWriting_ = false;
            flushed = generation != outputGeneration_;
            if (!again && !hungUp && !flushed) {
                // Written, or failed for another reason: then the run is dropped.
                std::uint32_t done = written < 0 ? length : static_cast<std::uint32_t>(written);
                outTail_ += done;
                if (outTail_ >= outSize_) outTail_ = 0;
                if (outTail_ == outHead_) outHead_ = outTail_ = 0;
                if (done > 0) outputFull_ = false;
            }
        }
        if (again) {
            if (error == EINTR) continue;
            int fd;
            {
                std::lock_guard lock(deviceMutex_);
                fd = fd_;
            }
            short revents = 0;
            int index = TEventSignal::WaitAny({&outputFlushSignal_}, -1, fd, POLLOUT, &revents);
            if (index == 0) {
                threadAckSignal_.Set();
                return;
            }
            if (killThreads_) return;
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) LostByError(EIO);
            continue;
        }
        if (hungUp) {
            LostByError(error);
            continue;  // the ring is dropped now
        }
        if (flushed) continue;  // flushed meanwhile: nothing to move
        wrote = true;
        if (killThreads_) return;
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
    if (fd_ < 0) return 0;
    if (::ioctl(fd_, set ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
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
            outputFlushSignal_.Set();
            threadAckSignal_.Wait(5000);
        }
        {
            std::lock_guard out(OutputLock());
            outputFull_ = false;
            outHead_ = outTail_ = 0;
            ++outputGeneration_;
        }
    }
    std::lock_guard lock(deviceMutex_);
    if (fd_ < 0 || DeviceLost()) return 0;
    int result = posix_line::Purge(fd_, input);
    return result == -ENOTTY || result == -EINVAL || IsHangUp(-result) ? 0 : result;
}

std::uint32_t TApdPosixDispatcher::DeviceStatus(TDeviceStatusRecord& status) {
    std::uint32_t errors = 0;
    status.inQue = 0;
    {
        std::lock_guard lock(deviceMutex_);
        if (fd_ >= 0) {
            int waiting = 0;
            if (::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0)
                status.inQue = static_cast<std::uint32_t>(waiting);
            serial_icounter_struct counts{};
            if (countersSupported_ && ::ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
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
    status.outQue = OutputRingUsedLocked();
    return errors;
}

int TApdPosixDispatcher::DeviceGetState(TDeviceBlock& block) {
    std::lock_guard lock(deviceMutex_);
    block = shadow_;
    if (fd_ < 0) return -1;
    return posix_line::ReadBlock(fd_, block) == 0 ? 0 : -1;
}

int TApdPosixDispatcher::DeviceSetState(const TDeviceBlock& block) {
    std::lock_guard lock(deviceMutex_);
    if (fd_ < 0) return ecCommNotOpen;
    int result = posix_line::WriteBlock(fd_, block);
    if (result == 0) shadow_ = block;
    if (result == -EINVAL) return ecBaudRate;
    return result;
}

int TApdPosixDispatcher::DeviceRead(std::uint8_t* buffer, std::uint32_t count) {
    ssize_t got;
    int error = 0;
    {
        std::lock_guard lock(deviceMutex_);
        if (fd_ < 0) return 0;
        got = ::read(fd_, buffer, count);
        if (got < 0) error = errno;
    }
    if (got > 0) return static_cast<int>(got);
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
    if (OutputRingUsedLocked() == 0 && !outputWriting_ && !outBuffer_.empty() && !DeviceLost() &&
        !killThreads_) {
        ssize_t written;
        int error = 0;
        {
            std::lock_guard lock(deviceMutex_);
            if (fd_ < 0) {
                written = -1;
                error = EAGAIN;  // left to the ring, as before the device is there
            } else {
                do {
                    written = WriteToDevice(fd_, data, count);
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
        QueueOutputBytes(data + done, count - done);
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

void TApdPosixDispatcher::ApplyThreadBoost(int boost) { TApdBaseDispatcher::ApplyThreadBoost(boost); }

std::uint8_t TApdPosixDispatcher::DeviceModemLevels() {
    std::lock_guard lock(deviceMutex_);
    if (fd_ < 0 || !modemLinesSupported_) return 0;
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
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
    if (fd_ < 0) return 0;
    if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0 && errno != ENOTTY && errno != EINVAL)
        return -errno;
    return 0;
}

}  // namespace kavo

namespace kavo {

std::uint32_t TApdPosixDispatcher::DeviceOutputQueued() {
    std::lock_guard lock(deviceMutex_);
    int queued = 0;
    if (fd_ < 0 || DeviceLost() || ::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::uint32_t>(queued);
}

}  // namespace kavo
