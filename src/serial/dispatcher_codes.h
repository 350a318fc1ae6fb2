// The numbers that the dispatcher and the layers above it share: the trigger messages, the kinds
// of status trigger, and the entry types of the dispatch log.
#pragma once

#include <cstdint>

namespace kavo {

// Trigger messages.
constexpr std::uint32_t kTriggerAvail = 0x7E01;
constexpr std::uint32_t kTriggerData = 0x7E02;
constexpr std::uint32_t kTriggerTimer = 0x7E03;
constexpr std::uint32_t kTriggerStatus = 0x7E04;
// Posted to the trigger windows when a worker ended by an error: first parameter the worker
// (0 device, 1 dispatcher, 2 output thread), long parameter the dispatcher handle << 16.
constexpr std::uint32_t kWorkerFailed = 0x7E05;

// Status trigger kinds (the low three bits of a status trigger's handle).
constexpr std::uint32_t stNotActive = 0;
constexpr std::uint32_t stModem = 1;
constexpr std::uint32_t stLine = 2;
constexpr std::uint32_t stOutBuffFree = 3;
constexpr std::uint32_t stOutBuffUsed = 4;
constexpr std::uint32_t stOutSent = 5;

// Entry types of the dispatch log: the dispatcher's own, then one per protocol family.
constexpr std::uint32_t lgDevice = 1;
constexpr std::uint32_t lgFired = 2;
constexpr std::uint32_t lgCreated = 5;
constexpr std::uint32_t lgRemoved = 6;
constexpr std::uint32_t lgAttached = 7;
constexpr std::uint32_t lgDetached = 8;
constexpr std::uint32_t lgArmed = 9;
constexpr std::uint32_t lgXmodem = 12;
constexpr std::uint32_t lgYmodem = 13;
constexpr std::uint32_t lgZmodem = 14;
constexpr std::uint32_t lgKermit = 15;
constexpr std::uint32_t lgAscii = 16;
// Subtypes of a protocol's entries: the state machine's state, or the error a transfer ended with.
constexpr std::uint32_t lgProtocolState = 0;
constexpr std::uint32_t lgProtocolError = 8;

}  // namespace kavo
