#include "platform/event_loop.h"

#include "platform/message_queue.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace kavo {

using Clock = std::chrono::steady_clock;

struct TTimer::State {
    std::function<void()> onTimer;
    std::uint32_t interval = 1000;
    bool enabled = false;
    bool singleShot = false;
    Clock::time_point due{};
};

namespace {

// The timers of one thread. A timer that fires may create, change or destroy timers (its own
// too), so firing works from a snapshot and checks each entry again before it runs it.
struct ThreadTimers {
    std::vector<std::weak_ptr<TTimer::State>> timers;
    std::function<void(int)> scheduleHook;
    std::optional<int> quitCode;
};

ThreadTimers& Timers() {
    thread_local ThreadTimers timers;
    return timers;
}

int MsUntilNext(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    for (const auto& weak : Timers().timers) {
        if (auto state = weak.lock(); state && state->enabled) {
            if (!next || state->due < *next) next = state->due;
        }
    }
    if (!next) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::max<decltype(ms)>(ms, 0));
}

void Rescheduled() {
    if (auto& hook = Timers().scheduleHook) hook(MsUntilNext(Clock::now()));
}

void Forget(const TTimer::State* gone) {
    auto& list = Timers().timers;
    std::erase_if(list, [gone](const std::weak_ptr<TTimer::State>& weak) {
        auto state = weak.lock();
        return !state || state.get() == gone;
    });
}

}  // namespace

TTimer::TTimer(std::function<void()> onTimer) : state_(std::make_shared<State>()) {
    state_->onTimer = std::move(onTimer);
    Timers().timers.push_back(state_);
}

TTimer::~TTimer() {
    const bool wasEnabled = state_->enabled;
    Forget(state_.get());
    state_.reset();
    if (wasEnabled) Rescheduled();
}

bool TTimer::Enabled() const { return state_->enabled; }

void TTimer::SetEnabled(bool on) {
    state_->enabled = on;
    if (on) state_->due = Clock::now() + std::chrono::milliseconds(state_->interval);
    Rescheduled();
}

std::uint32_t TTimer::Interval() const { return state_->interval; }

void TTimer::SetInterval(std::uint32_t ms) {
    state_->interval = ms;
    if (state_->enabled) SetEnabled(true);
}

void TTimer::SetSingleShot(bool on) { state_->singleShot = on; }

void TTimer::SetOnTimer(std::function<void()> onTimer) { state_->onTimer = std::move(onTimer); }

int RunDueTimers() {
    const Clock::time_point now = Clock::now();
    std::vector<std::weak_ptr<TTimer::State>> snapshot = Timers().timers;
    for (const auto& weak : snapshot) {
        auto state = weak.lock();
        if (!state || !state->enabled || state->due > now) continue;
        // Rescheduled before it runs: a handler that pumps messages must not fire it again.
        if (state->singleShot) state->enabled = false;
        else state->due = now + std::chrono::milliseconds(state->interval);
        std::function<void()> onTimer = state->onTimer;
        if (onTimer) onTimer();
    }
    const int next = MsUntilNext(Clock::now());
    if (auto& hook = Timers().scheduleHook) hook(next);
    return next;
}

int RunEventLoop() {
    ThreadTimers& timers = Timers();
    timers.quitCode.reset();
    while (!timers.quitCode) {
        const int next = RunDueTimers();
        if (timers.quitCode) break;
        DispatchPendingMessages();
        if (timers.quitCode || PendingMessageCount() > 0) continue;
        // Nothing queued: sleep until a message comes or the next timer is due.
        constexpr int kIdleMs = 60000;
        WaitForMessage(static_cast<std::uint32_t>(next < 0 ? kIdleMs : next));
    }
    const int code = *timers.quitCode;
    timers.quitCode.reset();
    return code;
}

void QuitEventLoop(int exitCode) { Timers().quitCode = exitCode; }

void SetTimerScheduleHook(std::function<void(int msUntilNext)> hook) {
    Timers().scheduleHook = std::move(hook);
    Rescheduled();
}

}  // namespace kavo
