// A signal that threads set and wait for, kept in an eventfd so that it can be waited for together
// with a device in one poll().
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

    bool Create();  // false when no eventfd could be made
    void Close();
    bool Valid() const { return fd_.load() >= 0; }
    int Fd() const { return fd_.load(); }

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (-1: no limit); true when the signal was seen (and consumed if auto).
    bool Wait(int timeoutMs);

    // Waits for the first of the signals, or for `extraFd` to report `extraEvents` (when
    // extraFd >= 0). Returns the index of the signal, signals.size() for the extra descriptor
    // (its revents in *extraRevents), or -1 on time-out.
    static int WaitAny(std::initializer_list<TEventSignal*> signals, int timeoutMs,
                       int extraFd = -1, short extraEvents = 0, short* extraRevents = nullptr);

private:
    bool TryConsume();

    bool manualReset_;
    std::atomic<int> fd_{-1};
    std::mutex mutex_;  // Set and Close
};

}  // namespace kavo
