// The rings of the dispatcher's byte trace and dispatch log (internal to the dispatcher).
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "serial/dispatcher.h"

namespace kavo {

struct TApdBaseDispatcher::TraceState {
    std::vector<std::pair<char, std::uint8_t>> entries;  // the ring
    std::size_t writePos = 0;
    bool wrapped = false;
    bool on = false;
};

struct TApdBaseDispatcher::LogState {
    struct Entry {
        std::uint8_t type = 0;
        std::uint8_t subtype = 0;
        std::uint32_t time = 0;
        std::uint32_t value = 0;
        std::vector<std::uint8_t> data;
    };
    static constexpr std::uint32_t kHeaderSize = 16;
    std::deque<Entry> entries;  // oldest first
    std::uint32_t size = 0;     // capacity in bytes (headers and data)
    std::uint32_t used = 0;
    bool on = false;
};

}  // namespace kavo
