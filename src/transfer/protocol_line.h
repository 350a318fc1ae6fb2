// The line a protocol engine talks through.
//
// The engine and its state machines never touch a device: they queue bytes, take received bytes,
// arm triggers and ask for counts through this interface. In the program it is the open port's
// dispatcher (port_line.cpp); tests put a scripted line in its place and drive the state machine
// with byte arrivals and timer events of their own.
//
// Results follow the layer's convention: 0 or a count is success, a negative value an error code.
//
// Thread safety: the engine calls it from the thread that runs the current step (the dispatcher
// thread, or the user-interface thread for a cancel); steps never overlap (the engine's Lock).
#pragma once

#include <cstdint>

#include "serial/error_codes.h"

namespace kavo {

// Procedure trigger handler: message, trigger handle or count, long parameter (dispatcher handle
// in the high 16 bits).
using TProtocolTriggerProc = void (*)(std::uint32_t msg, std::uint32_t first, std::int32_t lParam);

class TProtocolLine {
public:
    virtual ~TProtocolLine() = default;

    // True while the port is open and its device has not gone away.
    virtual bool IsOpen() = 0;
    // True once the device has vanished (hang-up, unplugged adapter) or the dispatcher is gone:
    // nothing sent from now on can reach a receiver.
    virtual bool DeviceGone() = 0;
    // The error a transfer ends with once DeviceGone: ecAbortNoCarrier for a device that went
    // away, ecHardwareFailure for a port whose engine failed.
    virtual std::int32_t GoneError() { return ecAbortNoCarrier; }
    // The dispatcher handle (the high 16 bits of every trigger message's long parameter).
    virtual std::int32_t DispatcherHandle() = 0;
    // Bits per character of the open line (data bits + start + stop + parity), 10 when unknown.
    virtual std::uint32_t BitsPerCharacter() = 0;
    virtual std::uint32_t Baud() = 0;

    // Bytes.
    virtual bool InputReady() = 0;
    virtual std::int32_t ReadChar() = 0;  // the byte (0..255) or a negative code
    virtual std::int32_t SendChar(std::uint8_t byte) = 0;
    virtual std::int32_t SendBlock(const std::uint8_t* data, std::uint32_t length) = 0;
    virtual std::uint32_t InputUsed() = 0;
    virtual std::uint32_t InputFree() = 0;
    virtual std::uint32_t OutputUsed() = 0;
    virtual std::uint32_t OutputFree() = 0;
    // Waits until the queued output has left, the device is gone or `timeoutMs` has passed;
    // true when it left.
    virtual bool WaitOutputDrained(std::uint32_t timeoutMs) = 0;
    virtual std::int32_t FlushInput() = 0;
    virtual std::int32_t FlushOutput() = 0;
    virtual bool CarrierPresent() = 0;

    // Triggers and handlers.
    virtual void SetAvailTriggerLevel(std::uint32_t level) = 0;
    virtual std::int32_t CreateTimerTrigger() = 0;
    virtual std::int32_t CreateStatusTrigger(std::uint32_t kind) = 0;
    virtual std::int32_t DeleteTrigger(std::int32_t handle) = 0;
    virtual std::int32_t ArmTimerTrigger(std::int32_t handle, std::int32_t ticks) = 0;
    virtual std::int32_t ArmStatusTrigger(std::int32_t handle, std::uint32_t value) = 0;
    // 0 with *ticksLeft set, or a negative code.
    virtual std::int32_t TimerTicksLeft(std::int32_t handle, std::int32_t* ticksLeft) = 0;
    virtual std::int32_t SetUserData(void* data) = 0;  // slot 1
    virtual void AttachTriggerHandler(TProtocolTriggerProc proc) = 0;
    virtual void DetachTriggerHandler(TProtocolTriggerProc proc) = 0;
    // Dispatch log entry; dropped while the log is off.
    virtual void AddLogEntry(std::uint32_t type, std::uint32_t subtype, const char* text) = 0;
};

}  // namespace kavo
