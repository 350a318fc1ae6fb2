// The tick clock of the serial and transfer layers.
//
// A tick is the 32-bit wrapping millisecond clock divided by 55 (18.2 ticks a second), so the tick
// count runs from 0 to 78090314 and then starts again at 0 (after 49.7 days). A TickTimer holds a
// start tick and an expiry tick; its tests allow for one wrap of the tick count since the start,
// so a timer (at most kMaxTimerTicks long, 24.8 days) and its elapsed time stay right across it.
//
// Tests replace the clock with SetClockSource, so the tick rules can be checked without waiting.
//
// Thread safety: every function may be called from any thread. SetClockSource should be called
// while no other thread reads the clock.
#pragma once

#include <cstdint>

namespace kavo {

constexpr std::int32_t kMaxTimerTicks = 39045157;
// The number of distinct tick counts: a tick count taken after one wrap of the clock is this much
// further on than it reads.
constexpr std::int32_t kTickRange = static_cast<std::int32_t>(0xFFFFFFFFu / 55 + 1);
constexpr std::uint32_t kMillisecondsPerTick = 55;

struct TickTimer {
    std::int32_t startTicks = 0;
    std::int32_t expireTicks = 0;
};

// Monotonic milliseconds, wrapping at 2^32.
std::uint32_t ClockMilliseconds();
// The system's millisecond clock behind ClockMilliseconds: the steady clock on Linux; on Windows
// the performance counter where it can serve, else the multimedia clock (timeGetTime).
std::uint32_t SystemMilliseconds();

// The performance counter's counts per millisecond: the frequency / 1000, a remainder above 500
// rounding up; 0 when the counter cannot serve (no counter, a frequency of 0 or at least 2^32).
std::uint32_t CountsPerMillisecond(std::uint64_t frequency);
// A counter value as wrapping milliseconds (the quotient's low 32 bits).
std::uint32_t MillisecondsFromCounter(std::uint64_t counter, std::uint32_t countsPerMillisecond);

// Replaces the millisecond clock (nullptr restores the monotonic clock).
using ClockSource = std::uint32_t (*)();
void SetClockSource(ClockSource source);

// ClockMilliseconds() / 55, as a signed tick count.
std::int32_t CurrentTicks();

void StartTickTimer(TickTimer& timer, std::int32_t ticks);
bool TickTimerExpired(const TickTimer& timer);
std::int32_t TickTimerElapsed(const TickTimer& timer);
std::int32_t TickTimerLeft(const TickTimer& timer);
// Milliseconds until the tick count passes the timer's expiry: at least 1, at most 1000.
std::uint32_t MillisecondsToExpiry(const TickTimer& timer);

// Waits `ticks` ticks. With `pump`, the calling thread's messages are dispatched meanwhile and a
// quit message ends the wait early. Returns the code of the last message pumped (0 if none).
std::uint32_t WaitTicks(std::int32_t ticks, bool pump);

std::int32_t SecondsToTicks(std::int32_t seconds);
std::int32_t TicksToSeconds(std::int32_t ticks);

}  // namespace kavo
