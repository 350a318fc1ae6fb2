#include <windows.h>
#include <mmsystem.h>

#include "serial/ticks.h"

namespace kavo {
namespace {

// Counts per millisecond of the performance counter, found once; 0 means the multimedia clock.
std::uint32_t CounterRate() {
    static const std::uint32_t rate = [] {
        LARGE_INTEGER frequency {};
        if (!::QueryPerformanceFrequency(&frequency)) return std::uint32_t{0};
        return CountsPerMillisecond(static_cast<std::uint64_t>(frequency.QuadPart));
    }();
    return rate;
}

}  // namespace

std::uint32_t SystemMilliseconds() {
    const std::uint32_t rate = CounterRate();
    LARGE_INTEGER counter {};
    if (rate != 0 && ::QueryPerformanceCounter(&counter)) {
        return MillisecondsFromCounter(static_cast<std::uint64_t>(counter.QuadPart), rate);
    }
    return ::timeGetTime();
}

}  // namespace kavo
