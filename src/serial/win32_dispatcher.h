// The Windows device layer under the dispatcher: a COM port opened with overlapped I/O, and the
// three worker threads that keep an open port alive.
//
//  - The device thread waits for the device's events (WaitCommEvent on its own overlapped record),
//    stores the event mask for the service pass, signals the dispatcher thread and waits until that
//    thread has served the event. It never reads data.
//  - The dispatcher thread runs a service pass on each event and at least every 50 ms; all trigger
//    deliveries happen on it. Received bytes move into the receive ring only here.
//  - The output thread writes the output ring to the device: it takes the ring's pending bytes as
//    one run, writes them with one overlapped write, and consumes what the device took.
//
// Signals: deviceEventSignal (device thread -> dispatcher thread), serviceDoneSignal (dispatcher
// thread -> device thread), outputReadySignal (DeviceWrite -> output thread), writeDoneSignal (the
// overlapped write's event, manual reset), outputFlushSignal (a flush or a stop -> output thread),
// and one acknowledgement each for a worker's start, an output flush and a worker's end.
//
// Opening: the exclusive open is the lock. A port that another program holds fails with "access
// denied" and reads as busy (ecAccessDenied); a number without a device as ecFileNotFound.
//
// Closing: the device handle is released only after every worker has been joined, so no worker
// touches a closed handle and no thread runs on freed buffers. A close from inside a delivery
// leaves the release to the dispatcher thread, as on POSIX.
//
// A worker that ends by an exception fails the port as on POSIX (dispatcher.h): the failure is
// recorded with a text naming the port and the worker, the line goes down, the other workers end,
// and the active-thread count reaches 0 all the same.
//
// Between passes the dispatcher thread keeps one read pending for the next byte to come (the read
// watch): the port's read time-outs let a read that finds nothing waiting wait for the first byte
// up to one pass interval, so the dispatcher thread wakes as soon as a byte arrives instead of
// only when the device thread reports it. A driver whose event wait reports data late (or an
// emulation that polls for it) then costs no extra time per reply. While the watch is pending
// the bytes that come belong to it: a pass reads the driver's queue only once the watch has
// completed, and hands out the watch's byte first.
//
// Behaviours of serial drivers (and of emulations of them) that this layer copes with:
//  - reads ask only for what ClearCommError reports waiting, so a read never waits for bytes;
//  - an event wait that completes with "operation aborted" and an empty mask, while nobody stops
//    the port, is taken as "look again": the device thread waits for the dispatcher thread's next
//    pass before it waits again, so it never spins (data is not missed meanwhile: the read watch
//    wakes the dispatcher thread);
//  - a timed-out read (ERROR_SEM_TIMEOUT) is a read of nothing;
//  - a device that went away (broken pipe, not ready, device not connected, a removed adapter's
//    access denied or bad command) takes the line down once (DeviceLost()).
//
// Thread safety: as TApdBaseDispatcher.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "serial/dispatcher.h"
#include "serial/event_signal.h"

namespace kavo {

class TApdWin32Dispatcher : public TApdBaseDispatcher {
public:
    explicit TApdWin32Dispatcher(TComponent* owner);
    ~TApdWin32Dispatcher() override;

    // The device name of the open port ("" while closed).
    std::string DevicePath();

    void ApplyThreadBoost(int boost) override;

    // What opening `name` for a moment tells (0, or the open's code with a text).
    static int Probe(const std::string& name, std::string& text);

protected:
    int DeviceEscape(int function) override;
    int DevicePurge(bool input) override;
    std::uint32_t DeviceStatus(TDeviceStatusRecord& status) override;
    int DeviceGetState(TDeviceBlock& block) override;
    int DeviceRead(std::uint8_t* buffer, std::uint32_t count) override;
    int DeviceSetState(const TDeviceBlock& block) override;
    int DeviceWrite(const std::uint8_t* data, std::uint32_t count) override;
    bool DeviceSetup(std::uint32_t inSize, std::uint32_t outSize) override;
    void StartThreads() override;
    void StopThreads() override;
    void ReleaseBuffers() override;
    int DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) override;
    int DeviceClose() override;
    int DeviceIdle() override;
    std::uint8_t DeviceModemLevels() override;
    int DeviceBreak(bool on) override;
    void ForgetThread(TWorker worker) override;
    void ServiceDone() override;

private:
    void DeviceThreadBody();
    void DispatcherThreadBody();
    // The read watch on the dispatcher thread's record: arms it (true when it took a byte at
    // once, so that the thread should serve it without waiting), takes a completed one's byte,
    // and ends a pending one before the thread goes.
    bool ArmReadWatch(void* overlapped);
    void CollectReadWatch(void* overlapped);
    void EndReadWatch(void* overlapped);
    void OutputThreadBody();
    // Waits for the next device event into `mask`; false when the thread is to end.
    bool NextDeviceEvent(void* overlapped, std::uint32_t& mask);
    void WriteLoop();
    // Writes one run with the output thread's record; the count written, or -1 after a flush
    // request ended the wait (the write was cancelled and has completed).
    long WriteRun(const std::uint8_t* data, std::uint32_t length, void* overlapped);
    void RunWorker(TWorker worker);
    void EndedByError(TWorker worker, const std::string& what);
    void WakeWorkers();
    void ReleaseDevice();
    void JoinEnded();
    void WaitGone(std::atomic<bool>& alive, int ticks);
    bool IsWorkerThread() const;
    // Takes the line down when `error` (a system error code) means the device went away.
    bool LostByError(unsigned long error);
    std::intptr_t Device() const { return device_.load(); }

    std::jthread deviceThread_, dispatcherThread_, outputThread_;
    std::atomic<bool> deviceAlive_{false}, dispatcherAlive_{false}, outputAlive_{false};

    TEventSignal deviceEventSignal_;
    TEventSignal serviceDoneSignal_;
    TEventSignal startAckSignal_;
    TEventSignal flushAckSignal_;
    TEventSignal outputReadySignal_;
    TEventSignal writeDoneSignal_{true};
    TEventSignal outputFlushSignal_;
    TEventSignal readDoneSignal_{true};   // the read record's event
    TEventSignal watchDoneSignal_{true};  // the read watch's record's event

    static constexpr std::intptr_t kNoDevice = -1;
    std::atomic<std::intptr_t> device_{kNoDevice};
    std::string path_;
    std::atomic<std::uint32_t> waitMask_{0};  // the event mask the device thread asks for
    // Bytes ClearCommError last said are waiting in the driver (any thread asks for the status).
    std::atomic<std::uint32_t> inQueLeft_{0};
    // The read watch: arming, collecting and an input purge take watchMutex_.
    std::mutex watchMutex_;
    std::atomic<bool> watchPending_{false};  // a read watch is under way
    std::atomic<bool> watchStale_{false};    // an input purge came after the watch completed
    std::uint8_t watchByte_ = 0;             // the watch's read buffer
    std::atomic<int> heldByte_{-1};          // the byte a completed watch read, not handed out yet
    std::recursive_mutex stopMutex_;  // one thread stops and releases at a time
    std::mutex pathMutex_;
};

}  // namespace kavo
