// A signal that threads set and wait for: the engine's form of an event. On POSIX it is an eventfd
// (posix_event_signal.cpp), so that a device layer can wait for it together with a device in one
// poll(); on Windows it is an event object (win32_event_signal.cpp), so that the device layer can
// wait for it together with an overlapped operation.
//
// Auto-reset: a wait that sees the signal consumes it (setting it twice before the wait still
// wakes one wait). Manual-reset: it stays set until Reset. A signal set before the wait is not
// lost. Create and Close belong to the owner; Set, Reset and the waits may be called from any
// thread while the signal is open (Set on a closed signal does nothing).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>

namespace kavo {

class TEventSignal {
public:
    explicit TEventSignal(bool manualReset = false) : manualReset_(manualReset) {}
    ~TEventSignal() { Close(); }
    TEventSignal(const TEventSignal&) = delete;
    TEventSignal& operator=(const TEventSignal&) = delete;

    bool Create();  // false when the system has no signal left to give
    void Close();
    bool Valid() const { return native_.load() != kNone; }
    // The system's object: the eventfd on POSIX, the event's HANDLE on Windows.
    std::intptr_t Native() const { return native_.load(); }

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (-1: no limit); true when the signal was seen (and consumed if auto).
    bool Wait(int timeoutMs);

    // Waits for the first of the signals; returns its index, or -1 on time-out.
    static int WaitAny(std::initializer_list<TEventSignal*> signals, int timeoutMs);
    // POSIX only: waits as WaitAny, or for `fd` to report `events`. Returns the index of the
    // signal, signals.size() for the descriptor (its revents in *revents), or -1 on time-out.
    static int WaitAnyOrFd(std::initializer_list<TEventSignal*> signals, int timeoutMs, int fd,
                           short events, short* revents);

private:
    static constexpr std::intptr_t kNone = -1;
    bool TryConsume();

    bool manualReset_;
    std::atomic<std::intptr_t> native_{kNone};
    std::mutex mutex_;  // Set and Close
};

}  // namespace kavo
