// The messages a dispatcher posts to the windows of its triggers (data came in, a timer ran out,
// a status was reached) and the kinds of status a trigger waits for. The long parameter of a
// message carries the dispatcher's handle in its upper half. The protocol engine creates and
// reads triggers through these names without knowing the dispatcher.
//
// Thread safety: constants only.
#pragma once

#include <cstdint>

namespace kavo {

constexpr std::uint32_t kTriggerAvail = 0x7E01;
constexpr std::uint32_t kTriggerData = 0x7E02;
constexpr std::uint32_t kTriggerTimer = 0x7E03;
constexpr std::uint32_t kTriggerStatus = 0x7E04;

// Status trigger kinds (the low three bits of a status trigger's handle).
constexpr std::uint32_t stNotActive = 0;
constexpr std::uint32_t stModem = 1;
constexpr std::uint32_t stLine = 2;
constexpr std::uint32_t stOutBuffFree = 3;
constexpr std::uint32_t stOutBuffUsed = 4;
constexpr std::uint32_t stOutSent = 5;

}  // namespace kavo
