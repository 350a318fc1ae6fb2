#include "serial/ticks.h"

#include <chrono>

namespace kavo {

std::uint32_t SystemMilliseconds() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

}  // namespace kavo
