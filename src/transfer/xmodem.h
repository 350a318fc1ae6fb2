// The XMODEM family transmitter: plain XMODEM (128-byte blocks, checksum), XMODEM-CRC, XMODEM-1K
// (1024-byte blocks, CRC-16) and XMODEM-1K-G (no acknowledgements).
//
// The transmitter is a state machine driven by the dispatcher's trigger events (received bytes,
// timers, output-buffer levels, carrier). It acts only through the record's line and reports
// through the engine's reporting routines; it never touches a device or prints.
//
// Thread safety: every step takes the record's Lock, so the dispatcher thread's steps and a cancel
// from the user-interface thread never overlap.
#pragma once

#include <cstdint>
#include <vector>

#include "transfer/protocol_engine.h"

namespace kavo {

constexpr std::uint8_t cSoh = 0x01;
constexpr std::uint8_t cStx = 0x02;
constexpr std::uint8_t cEot = 0x04;
constexpr std::uint8_t cAck = 0x06;
constexpr std::uint8_t cBs = 0x08;
constexpr std::uint8_t cNak = 0x15;
constexpr std::uint8_t cCan = 0x18;
constexpr std::uint8_t cCrcStart = 'C';
constexpr std::uint8_t cGStart = 'G';
constexpr std::uint8_t cSub = 0x1A;

// The wait for the output ring to drain after a block, in ticks.
constexpr std::int32_t DrainWaitTicks = 1092;

// Sets the record up for one of the four XMODEM types; 0 or -6015.
std::int32_t InitXmodem(ProtocolData& data, bool useCrc, bool use1K, bool useG);
// The protocol type that the record's switches describe.
TProtocolType ProtocolTypeFor(const ProtocolData& data);

// The prepare routine for StartProtocol: resets the figures, asks for the file, enters txInitial.
void PrepareTransmit(ProtocolData& data);
// The state machine as a dispatcher calls it: finds the record by the dispatcher handle in the high
// 16 bits of lParam. Returns true when this call finished the transfer (or it was already done).
bool TransmitStateMachine(std::uint32_t msg, std::uint32_t trigger, std::int32_t lParam);
// One step with the record already found (trigger handle 0 means: examine received bytes).
bool TransmitStep(ProtocolData& data, std::uint32_t msg, std::uint32_t trigger);

// A whole block as it goes on the wire: start byte, number, complement, data, CRC (high byte
// first) or checksum.
std::vector<std::uint8_t> BuildXmodemBlock(std::uint8_t startChar, std::uint32_t blockNumber,
                                           const std::uint8_t* data, std::uint32_t length,
                                           bool useCrc);

// Name of a state as the dispatch log words it ("txInitial" ...).
const char* XmodemStateName(TXmodemState state);

}  // namespace kavo
