// The POSIX device layer under the dispatcher: a serial device (a tty, a USB adapter, a pty)
// opened by path, and the three worker threads that keep an open port alive.
//
//  - The device thread waits in poll() for the device to have input (or to hang up) and for its
//    wake-up signal; it reports each event to the dispatcher thread and waits until that thread
//    has served it. It stops asking for input while the receive ring is full; the reader that
//    frees space wakes it.
//  - The dispatcher thread runs a service pass on each event, at least every 50 ms, and when an
//    armed timer trigger expires; all trigger deliveries happen on it. Between passes it watches
//    the device for input as well, so that a received byte is served without waiting for the
//    device thread's report.
//  - The output thread writes the output ring to the device, one write per round; when the
//    device takes no more it waits in poll() for POLLOUT or a flush, never sleeping. When the
//    ring drains it wakes the dispatcher thread, so output-buffer triggers fire at once.
//  - A block queued while the ring is empty and the output thread is not writing is written at
//    once by the thread that queues it (DeviceWrite, a non-blocking write under outputLock), so
//    an answer to a received byte leaves without waking the output thread. Only what the device
//    does not take then goes into the ring for the output thread. Nothing overtakes: bytes in the
//    ring, or on their way from it to the device, keep every later block in the ring behind
//    them. A direct write's failure is handled as the output thread handles its own (a hang-up
//    takes the line down; another error drops the block), and a block written whole wakes the
//    dispatcher thread as a drained ring does.
//
// Opening: TPosixDevice (posix_device.h) opens the device for exclusive use and says why it
// could not (LastOpenError / LastOpenErrorText). The device's own settings are saved at open and
// restored at close.
//
// Closing: the device is released only after the workers have ended, so no worker touches a
// released device. A close from inside a delivery leaves the release to the dispatcher thread.
//
// Hang-up (POLLHUP, EIO/ENXIO on read or write, read() == 0): final. The layer stops polling the
// device and reports it once (DeviceLost(), see dispatcher.h).
//
// A worker that ends by an exception (a procedure handler that raised on the dispatcher thread,
// say) fails the port: the failure is recorded with a text that names the port, the worker and the
// error ("COM3 (/dev/ttyUSB0): the dispatcher thread ended by an error: ..."), the line goes down
// and the attached windows are told (see dispatcher.h); the other workers leave their waits and
// end. With no window to tell, the text goes to the standard error. The port then closes as usual.
//
// Modem lines and line-error counters that a device does not support (a pty has neither) read as
// "nothing changed". Thread priorities are stored only.
//
// Thread safety: as TApdBaseDispatcher. The device descriptor is used under a lock of its own
// for each non-blocking call; only the workers wait on it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <stop_token>
#include <thread>

#include "serial/dispatcher.h"
#include "serial/event_signal.h"
#include "serial/posix_device.h"

namespace kavo {

class TApdPosixDispatcher : public TApdBaseDispatcher {
public:
    explicit TApdPosixDispatcher(TComponent* owner);
    ~TApdPosixDispatcher() override;

    // The device path of the open port ("" while closed).
    std::string DevicePath();

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
    std::uint32_t DeviceOutputQueued() override;

    void ForgetThread(TWorker worker) override;
    void ServiceDone() override;
    void ReceiveSpaceFreed() override;
    // Runs on each worker at each round of its loop and does nothing; tests override it to make
    // a worker fail where no code of theirs runs otherwise (the device and output threads).
    virtual void WorkerTurn(TWorker) {}
    // The one write call on the device, for the output thread and for direct writes alike
    // (under the device lock): write(2)'s result and errno. Tests override it to make writes
    // partial or fail.
    virtual ssize_t WriteToDevice(int fd, const std::uint8_t* data, std::size_t count);

private:
    void DeviceThreadBody(std::stop_token stop);
    void DispatcherThreadBody(std::stop_token stop);
    void OutputThreadBody(std::stop_token stop);
    void WriteLoop(const std::stop_token& stop);
    void RunWorker(std::stop_token stop, TWorker worker);
    // Whether a worker is to end: its stop was requested, the port stops or a worker failed.
    bool Ending(const std::stop_token& stop) const;
    // Sets every signal a worker may wait for, so that each one looks at its flags again.
    void WakeWorkers();
    // Asks every worker to end (kill flag, stop tokens) and wakes them.
    void RequestStop();
    void EndedByError(TWorker worker, const std::string& what);
    void ReleaseDevice();
    void JoinEnded();
    void WaitGone(std::atomic<bool>& alive, int ticks);
    bool IsWorkerThread() const;
    void LostByError(int error);
    // Marks the device's input (and a hang-up, which the poll reports with it) for the next pass.
    void NoteDeviceReadable(short revents);

    std::jthread deviceThread_, dispatcherThread_, outputThread_;
    std::atomic<bool> deviceAlive_{false}, dispatcherAlive_{false}, outputAlive_{false};

    TEventSignal deviceEventSignal_;
    TEventSignal serviceDoneSignal_;
    TEventSignal startAckSignal_;  // a worker has started
    TEventSignal flushAckSignal_;  // the output thread has stopped writing for a flush
    TEventSignal outputReadySignal_;
    TEventSignal outputFlushSignal_;
    TEventSignal deviceWakeSignal_;  // wakes the device thread's poll()

    // The output thread has taken a run from the ring and not yet accounted for it (outputLock).
    bool outputWriting_ = false;

    std::mutex deviceMutex_;  // guards device_ and each call on it; taken last
    TPosixDevice device_;
    TDeviceBlock shadow_;  // fields the termios interface cannot hold
    bool modemLinesSupported_ = true;
    bool countersSupported_ = true;
    bool haveCounters_ = false;
    int lastCounters_[5] = {0, 0, 0, 0, 0};
    std::uint8_t lastLevels_ = 0;  // dispatcher thread
    std::atomic<std::uint64_t> bytesTaken_{0};  // bytes read from the device so far (a running count)
    std::recursive_mutex stopMutex_;  // one thread stops and releases at a time
};

}  // namespace kavo
