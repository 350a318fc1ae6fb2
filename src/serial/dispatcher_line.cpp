// Line control of the dispatcher: line settings, DTR/RTS, flow control, break, modem status and
// line errors.
#include <algorithm>

#include "serial/dispatcher.h"
#include "serial/error_codes.h"

namespace kavo {

std::uint8_t TApdBaseDispatcher::CurrentModemLevels() {
    // The levels are read once a pass at most: each read is a control transfer on a USB adapter.
    const int passLevels = passLevels_.load();
    if (deviceLost_ || !portOpen_) return 0;
    return passLevels >= 0 ? static_cast<std::uint8_t>(passLevels) : DeviceModemLevels();
}

std::uint8_t TApdBaseDispatcher::ReadModemStatus(std::uint8_t keepMask) {
    const std::uint8_t levels = CurrentModemLevels();  // before the state lock
    std::lock_guard lock(stateLock_);
    std::uint8_t byte = (levels & 0xF0) | (modemStatus_.load() & 0x0F);
    if (ringEnded_.exchange(false)) byte |= msRingDelta;
    modemStatus_ = byte & keepMask;
    return byte;
}

void TApdBaseDispatcher::UpdateModemChanges() {
    const std::uint8_t levels = CurrentModemLevels();  // before the state lock
    std::lock_guard lock(stateLock_);
    const std::uint8_t old = modemStatus_.load();
    std::uint8_t now = (levels & 0xF0) | (old & 0x0F);
    if (ringEnded_.exchange(false)) now |= msRingDelta;
    modemStatus_ = now | static_cast<std::uint8_t>(((now ^ old) & 0xF0) >> 4);
}

bool TApdBaseDispatcher::ModemWatchWanted() {
    std::lock_guard lock(stateLock_);
    for (const auto& trigger : statusTriggers_)
        if (trigger.kind == stModem && trigger.armed && !trigger.hit) return true;
    return false;
}

std::uint8_t TApdBaseDispatcher::ModemStatus() { return modemStatus_.load(); }

bool TApdBaseDispatcher::CarrierPresent() { return (ReadModemStatus(0xF7) & msDcd) != 0; }

void TApdBaseDispatcher::RefreshLineStatus() {
    if (!portOpen_) return;
    TDeviceStatusRecord status;
    std::uint32_t errors;
    {
        std::lock_guard lock(outputLock_);
        errors = DeviceStatus(status);
    }
    if (errors & 0x1F) lineError_.fetch_or(errors & 0x1F);
}

int TApdBaseDispatcher::TakeLineError() {
    std::uint32_t word = lineError_.load();
    int result;
    do {
        if (word & leOverflow) result = 1;
        else if (word & leOverrun) result = 2;
        else if (word & leParity) result = 3;
        else if (word & leFraming) result = 4;
        else if (word & leBreak) result = 9;
        else return 0;
    } while (!lineError_.compare_exchange_weak(word, word & ~0x0Fu));
    return result;
}

bool TApdBaseDispatcher::TakeLineBreak() {
    return (lineError_.fetch_and(~leBreak) & leBreak) != 0;
}

int TApdBaseDispatcher::ApplyBlock(TDeviceBlock& block) {
    if (!dtrAuto_) block.dtrControl = dtrState_ ? kLineControlEnable : kLineControlDisable;
    if (!rtsAuto_) block.rtsControl = rtsState_ ? kLineControlEnable : kLineControlDisable;
    int result = DeviceSetState(block);
    block_ = block;
    if (result < 0) return result;
    lastBaud_ = block.baud;
    DriveDtr(dtrState_);
    if (!rs485Mode_) DriveRts(rtsState_);
    return 0;
}

void TApdBaseDispatcher::DrainOutput() {
    WaitOutputDrained(10000);
    std::uint32_t baud;
    int bits;
    {
        std::lock_guard lock(stateLock_);
        baud = std::max<std::uint32_t>(lastBaud_, 1);
        bits = block_.dataBits + 2 + (block_.parity != kParityNone ? 1 : 0) +
               (block_.stopBits != kOneStopBit ? 1 : 0);
    }
    // The last characters are still leaving the transmitter: the time of 18 characters, in 100 ns
    // units, before the settings change under them.
    std::uint64_t t = static_cast<std::uint64_t>(10000000 / baud) * bits * 18;
    if (t < 10000) t *= 2;
    PauseUnlessLost(static_cast<std::uint32_t>((t + 9999) / 10000));
}

int TApdBaseDispatcher::SetLineSettings(std::uint32_t baud, int parity, int dataBits, int stopBits) {
    TDeviceBlock wanted;
    {
        std::lock_guard lock(stateLock_);
        TDeviceBlock current;
        DeviceGetState(current);
        wanted = current;
        if (baud != 0) wanted.baud = BaudFromCode(baud);
        if (parity != kParityUnchanged) wanted.parity = parity;
        if (dataBits != kDataBitsUnchanged) wanted.dataBits = dataBits;
        if (stopBits != kStopBitsUnchanged) {
            wanted.stopBits = stopBits <= 1 ? kOneStopBit : kTwoStopBits;
            if (wanted.dataBits == 5) wanted.stopBits = kOne5StopBits;
        } else if (dataBits == 5) {
            wanted.stopBits = kOne5StopBits;
        }
        if (wanted.baud == current.baud && wanted.parity == current.parity &&
            wanted.dataBits == current.dataBits && wanted.stopBits == current.stopBits)
            return 0;
    }
    // The drain runs without the state lock, so the dispatcher thread keeps serving triggers.
    DrainOutput();
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    DeviceGetState(block);
    block.baud = wanted.baud;
    block.parity = wanted.parity;
    block.dataBits = wanted.dataBits;
    block.stopBits = wanted.stopBits;
    return ApplyBlock(block);
}

void TApdBaseDispatcher::GetLineSettings(std::uint32_t& baud, int& parity, int& dataBits,
                                         int& stopBits) {
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    if (portOpen_) DeviceGetState(block_);
    block = block_;
    baud = block.baud;
    parity = block.parity;
    dataBits = block.dataBits;
    stopBits = block.stopBits == kOneStopBit ? 1 : 2;
}

int TApdBaseDispatcher::DriveDtr(bool on) {
    {
        std::lock_guard lock(stateLock_);
        if (dtrAuto_) return 1;
        dtrState_ = on;
    }
    return DeviceEscape(on ? efSetDtr : efClrDtr) < 0 ? ecBadArgument : 0;
}

int TApdBaseDispatcher::DriveRts(bool on) {
    {
        std::lock_guard lock(stateLock_);
        if (rtsAuto_) return 1;
        rtsState_ = on;
    }
    return DeviceEscape(on ? efSetRts : efClrRts) < 0 ? ecBadArgument : 0;
}

int TApdBaseDispatcher::SetHardwareFlow(std::uint32_t fullMark, std::uint32_t resumeMark,
                                        std::uint32_t options) {
    if (fullMark < resumeMark || fullMark > inSize_) return ecBadArgument;
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    DeviceGetState(block);
    block.outxCtsFlow = block.outxDsrFlow = false;
    dtrAuto_ = rtsAuto_ = false;
    if (options & hfUseDtr) {
        block.dtrControl = kLineControlHandshake;
        dtrAuto_ = true;
    } else {
        block.dtrControl = dtrState_ ? kLineControlEnable : kLineControlDisable;
    }
    if (options & hfUseRts) {
        block.rtsControl = kLineControlHandshake;
        rtsAuto_ = true;
    } else {
        block.rtsControl = rtsState_ ? kLineControlEnable : kLineControlDisable;
    }
    block.xoffLim = inSize_ - fullMark;
    block.xonLim = resumeMark;
    if (options & hfRequireDsr) block.outxDsrFlow = true;
    if (options & hfRequireCts) block.outxCtsFlow = true;
    return ApplyBlock(block);
}

int TApdBaseDispatcher::SetSoftwareFlow(std::uint32_t fullMark, std::uint32_t resumeMark,
                                        std::uint32_t options) {
    if (fullMark < resumeMark || fullMark > inSize_) return ecBadArgument;
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    DeviceGetState(block);
    if (options & sfReceive) {
        block.inX = true;
        block.xoffLim = inSize_ - fullMark;
        block.xonLim = resumeMark;
    }
    if (options & sfTransmit) block.outX = true;
    if (options & (sfTransmit | sfReceive)) {
        block.xonChar = 0x11;
        block.xoffChar = 0x13;
    }
    return ApplyBlock(block);
}

int TApdBaseDispatcher::ClearSoftwareFlow() {
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    DeviceGetState(block);
    block.inX = block.outX = false;
    return ApplyBlock(block);
}

int TApdBaseDispatcher::SetFlowChars(std::uint8_t xonChar, std::uint8_t xoffChar) {
    std::lock_guard lock(stateLock_);
    TDeviceBlock block;
    DeviceGetState(block);
    block.xonChar = xonChar;
    block.xoffChar = xoffChar;
    return ApplyBlock(block);
}

void TApdBaseDispatcher::SendLineBreak(std::int32_t ticks, bool pump) {
    DeviceBreak(true);
    WaitTicks(ticks, pump);
    DeviceBreak(false);
}

void TApdBaseDispatcher::SetFlagBits(std::uint32_t bits) {
    std::lock_guard lock(stateLock_);
    flagBits_ |= bits;
}

void TApdBaseDispatcher::ClearFlagBits(std::uint32_t bits) {
    std::lock_guard lock(stateLock_);
    flagBits_ &= ~bits;
}

std::uint32_t TApdBaseDispatcher::FlagBits() {
    std::lock_guard lock(stateLock_);
    return flagBits_;
}

void TApdBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard lock(stateLock_);
    rs485Mode_ = on;
}

bool TApdBaseDispatcher::RS485Mode() {
    std::lock_guard lock(stateLock_);
    return rs485Mode_;
}

}  // namespace kavo
