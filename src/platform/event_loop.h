// Timers and the event loop of a thread, free of any toolkit.
//
// A TTimer belongs to the thread that created it and fires on that thread, from the places where
// the thread handles its messages: RunEventLoop (a front end without a toolkit), ProcessMessages
// (nested waits such as WaitData, or a port's close, keep the timers going as they keep the
// messages going), and RunDueTimers (a toolkit's loop that drives this one, see below). A timer
// repeats every Interval until it is disabled; enabling it again starts its count anew.
//
// A toolkit with a loop of its own drives the same timers: SetTimerScheduleHook tells it, on the
// timers' thread, how long until the next one is due whenever that changes, and the toolkit calls
// RunDueTimers then (the Qt glue of the application does so with one single-shot timer).
//
// Thread safety: a timer and the loop functions are used on the owning thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kavo {

class TTimer {
public:
    explicit TTimer(std::function<void()> onTimer = {});
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const;
    // Enabling starts the count of Interval anew, also for a timer that runs already.
    void SetEnabled(bool on);
    std::uint32_t Interval() const;
    void SetInterval(std::uint32_t ms);
    // A single-shot timer disables itself before it fires.
    void SetSingleShot(bool on);
    void SetOnTimer(std::function<void()> onTimer);

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Fires the calling thread's timers that are due; returns the milliseconds until the next one is
// due, or -1 when none is enabled.
int RunDueTimers();
// Runs the calling thread's messages and timers until QuitEventLoop is called on this thread;
// returns the code given there.
int RunEventLoop();
// Ends RunEventLoop of the calling thread once the handler that calls this has returned.
void QuitEventLoop(int exitCode);
// Told, on the timers' thread, the milliseconds until its next timer is due (-1: none) whenever
// that changes. Pass nullptr to remove. One hook per thread.
void SetTimerScheduleHook(std::function<void(int msUntilNext)> hook);

}  // namespace kavo
