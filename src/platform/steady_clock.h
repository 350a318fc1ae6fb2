// Milliseconds of the steady clock: for durations and deadlines that a change of the wall clock
// must not move. The origin is arbitrary (the system's boot); only differences mean anything.
//
// Thread safety: any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace kavo {

inline std::int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace kavo
