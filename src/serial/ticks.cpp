#include "serial/ticks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/message_queue.h"

namespace kavo {
namespace {

std::atomic<ClockSource> clockSource{nullptr};

}  // namespace

std::uint32_t ClockMilliseconds() {
    ClockSource source = clockSource.load(std::memory_order_acquire);
    return source ? source() : SystemMilliseconds();
}

std::uint32_t CountsPerMillisecond(std::uint64_t frequency) {
    if (frequency == 0 || frequency > 0xFFFFFFFFu) return 0;
    std::uint64_t counts = frequency / 1000;
    if (frequency % 1000 > 500) ++counts;
    return static_cast<std::uint32_t>(counts);
}

std::uint32_t MillisecondsFromCounter(std::uint64_t counter, std::uint32_t countsPerMillisecond) {
    // The 64-by-32-bit division of (high word modulo divisor, low word) that 32-bit code does
    // gives exactly the low 32 bits of the full quotient.
    return static_cast<std::uint32_t>(counter / countsPerMillisecond);
}

void SetClockSource(ClockSource source) { clockSource.store(source, std::memory_order_release); }

std::int32_t CurrentTicks() {
    return static_cast<std::int32_t>(ClockMilliseconds() / kMillisecondsPerTick);
}

void StartTickTimer(TickTimer& timer, std::int32_t ticks) {
    ticks = std::min(ticks, kMaxTimerTicks);
    timer.startTicks = CurrentTicks();
    timer.expireTicks = timer.startTicks + ticks;
}

// The tick count now, counted on from the timer's start: a count below the start means the clock
// wrapped since.
static std::int64_t TicksSinceStart(const TickTimer& timer) {
    std::int64_t now = CurrentTicks();
    return now < timer.startTicks ? now + kTickRange : now;
}

std::uint32_t MillisecondsToExpiry(const TickTimer& timer) {
    std::int64_t target = (static_cast<std::int64_t>(timer.expireTicks) + 1) * kMillisecondsPerTick;
    std::int64_t now = ClockMilliseconds();
    if (now < static_cast<std::int64_t>(timer.startTicks) * kMillisecondsPerTick) now += 1ll << 32;
    std::int64_t left = target - now;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 1, 1000));
}

bool TickTimerExpired(const TickTimer& timer) { return TicksSinceStart(timer) > timer.expireTicks; }

std::int32_t TickTimerElapsed(const TickTimer& timer) {
    return static_cast<std::int32_t>(TicksSinceStart(timer) - timer.startTicks);
}

std::int32_t TickTimerLeft(const TickTimer& timer) {
    return static_cast<std::int32_t>(std::max<std::int64_t>(timer.expireTicks - TicksSinceStart(timer), 0));
}

std::uint32_t WaitTicks(std::int32_t ticks, bool pump) {
    if (ticks <= 0) return 0;
    TickTimer timer;
    StartTickTimer(timer, ticks);
    std::uint32_t code = 0;
    for (;;) {
        if (pump) {
            code = PumpOneMessage();
            if (code == WM_QUIT) break;
        }
        if (TickTimerExpired(timer)) break;
        // Sleep until a message arrives or the timer can have expired, never spin.
        if (pump) {
            if (code == 0) WaitForMessage(MillisecondsToExpiry(timer));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(MillisecondsToExpiry(timer)));
        }
    }
    return code;
}

std::int32_t SecondsToTicks(std::int32_t seconds) { return seconds * 1675 / 92; }

std::int32_t TicksToSeconds(std::int32_t ticks) { return (ticks + 9) * 92 / 1675; }

}  // namespace kavo
