#include "transfer/xmodem.h"

#include <algorithm>

#include "serial/error_codes.h"
#include "serial/ticks.h"

namespace kavo {

namespace {

constexpr std::uint8_t cancelSequence[] = {cCan, cCan, cCan, cBs, cBs, cBs};

bool IsHandle(std::uint32_t trigger, std::int32_t handle) {
    return handle > 0 && trigger == static_cast<std::uint32_t>(handle);
}

void ArmTimeout(ProtocolData& data, std::uint32_t ticks) {
    data.Line->ArmTimerTrigger(data.TimeoutTimer, static_cast<std::int32_t>(ticks));
}

// Reads one received byte; false when none is waiting.
bool TakeByte(ProtocolData& data, std::uint8_t& byte) {
    if (!data.Line->InputReady()) return false;
    const std::int32_t value = data.Line->ReadChar();
    if (value < 0) return false;
    byte = static_cast<std::uint8_t>(value);
    return true;
}

// The tick layer counts 55 ms to a tick.
constexpr std::uint32_t MsPerTick = 55;

// Ticks from now until `endMs` on the tick clock, at least 1 (a wait due now ends at the next tick).
std::uint32_t TicksUntil(std::uint32_t endMs) {
    const auto left = static_cast<std::int32_t>(endMs - ClockMilliseconds());
    if (left <= 0) return 1;
    return (static_cast<std::uint32_t>(left) + MsPerTick - 1) / MsPerTick;
}

bool IsStartCharacter(std::uint8_t byte) { return byte == cCrcStart || byte == cNak || byte == cGStart; }

// Until the first block is answered, a receiver repeats its 'C' (or 'G'): one that crossed the
// first block on the line is no reply to it. The block's own reply wait sends it again if it was
// lost.
bool RepeatedStartCharacter(const ProtocolData& data, std::uint8_t byte) {
    return (byte == cCrcStart || byte == cGStart) && data.BlockNumber == 1 && data.TransferredBytes == 0;
}

void ArmReplyWait(ProtocolData& data, std::uint32_t ticks) {
    // Under a silence limit no wait runs past the silence still allowed, so that the transfer
    // ends when the limit is reached and not at the end of a longer wait.
    if (data.SilenceLimit != 0 && data.SilentTicks < data.SilenceLimit) {
        ticks = std::min(ticks, data.SilenceLimit - data.SilentTicks);
    }
    data.ReplyWait = ticks;
    ArmTimeout(data, ticks);
}

void SendCancel(ProtocolData& data) {
    if (data.Line->IsOpen()) {
        // Queued block data goes first, so the receiver sees the cancel at once.
        data.Line->FlushOutput();
        data.Line->SendBlock(cancelSequence, sizeof cancelSequence);
        data.CancelQueued = true;
    }
    data.ForceStatus = true;
}

// Gives a queued cancel sequence a moment to leave the output ring: the application closes the
// port as soon as the transfer ends, and closing discards queued output.
void LetCancelDrain(ProtocolData& data) {
    if (!data.CancelQueued || !data.Line->IsOpen()) return;
    const std::uint32_t cps = std::max<std::uint32_t>(data.CharsPerSecond, 30);
    // Twice the time the sequence needs at the line's rate, and a margin.
    data.Line->WaitOutputDrained(100 + 2 * sizeof cancelSequence * 1000 / cps);
}

// A reply wait passed without a byte. True when the silence limit is now reached: the cancel
// sequence is queued and the time-out reported.
bool SilenceLimitReached(ProtocolData& data) {
    data.SilentTicks += data.ReplyWait;
    if (data.SilenceLimit == 0 || data.SilentTicks < data.SilenceLimit) return false;
    SendCancel(data);
    ReportError(data, ecTimeout);
    return true;
}

bool NextHandshakeAttempt(ProtocolData& data) {
    ++data.HandshakeAttempt;
    if (data.HandshakeAttempt > data.HandshakeRetry) {
        ReportError(data, ecTimeout);
        return false;
    }
    ArmTimeout(data, data.HandshakeWait);
    data.AttemptEndMs = ClockMilliseconds() + data.HandshakeWait * MsPerTick;
    data.PendingStart = 0;
    if (data.HandshakeAttempt > 1) {
        ++data.BlockErrors;
        ++data.TotalErrors;
        data.ForceStatus = true;
    }
    return true;
}

// The receiver's start character chooses the block check, and the transfer clock starts.
void AcceptStart(ProtocolData& data, std::uint8_t byte) {
    data.PendingStart = 0;
    if (byte == cNak) {
        data.BlockCheck = bcmChecksum;
        data.UseCrc = false;
    } else {
        data.BlockCheck = bcmCrc16;
        data.UseCrc = true;
        data.UseG = byte == cGStart;
    }
    data.ProtocolType = ProtocolTypeFor(data);
    StartTickTimer(data.TransferTimer, 1);
    data.TimingStarted = true;
    data.FileOffset = 0;
    data.BlockErrors = 0;
    data.TotalErrors = 0;
    if (data.UseG) data.MaxBlockErrors = 0;
    data.Status = psOK;
    data.XmodemState = txGetBlock;
}

// One received byte of the handshake. Many loaders print a line (or echo what they are sent)
// before they ask for the file: such bytes are passed over, use up no attempt, count as no error
// and leave the running wait alone, so the attempts and their waits bound the handshake however
// much the receiver writes. A start character counts once the line stays quiet after it, so one
// inside the text does not start the transfer early.
void HandshakeByte(ProtocolData& data, std::uint8_t byte) {
    if (byte == cCan) {
        data.Status = psCancelRequested;
        data.ForceStatus = true;
        data.XmodemState = txFinished;
    } else if (IsStartCharacter(byte)) {
        if (data.StartQuietTicks == 0) {
            AcceptStart(data, byte);
            return;
        }
        data.PendingStart = byte;
        ArmTimeout(data, std::min(data.StartQuietTicks, TicksUntil(data.AttemptEndMs)));
    } else if (data.PendingStart != 0) {
        // The start character was part of the text: the handshake's own wait goes on to its end.
        data.PendingStart = 0;
        ArmTimeout(data, TicksUntil(data.AttemptEndMs));
    }
}

void PrepareBlockSend(ProtocolData& data) {
    data.ErrorCode = 0;
    const std::uint32_t needed = data.BlockLength + 5;
    if (data.Line->OutputFree() < needed) {
        data.XmodemState = txWtFreeSpc;
        ArmTimeout(data, data.TransmitTimeout);
        data.Line->ArmStatusTrigger(data.OutFreeTrigger, needed);
    } else {
        data.XmodemState = txSendBlock;
    }
}

void TransmitBlock(ProtocolData& data) {
    if (data.BlockErrors > data.MaxBlockErrors) {
        if (data.Use1K && data.BlockLength == 1024) {
            data.BlockLength = 128;
            data.StartChar = cSoh;
            data.BlockErrors = 0;
            // Only the first 128 bytes of the block read go now; if the block was the file's
            // last, the rest still has to follow before the EOT.
            if (data.LastBlockSize > 128) {
                data.LastBlockSize = 128;
                data.LastBlock = false;
            }
        } else {
            SendCancel(data);
            ReportError(data, ecTooManyErrors);
            return;
        }
    }
    const std::vector<std::uint8_t> block = BuildXmodemBlock(
        data.StartChar, data.BlockNumber, data.DataBlock.data(), data.BlockLength, data.UseCrc);
    data.CheckValue = data.UseCrc ? (static_cast<std::uint32_t>(block[block.size() - 2]) << 8 | block.back())
                                  : block.back();
    // PrepareBlockSend made sure the whole block fits the output ring.
    data.Line->SendBlock(block.data(), static_cast<std::uint32_t>(block.size()));
}

void CountDelivered(ProtocolData& data) {
    data.Status = psOK;
    data.TransferredBytes += data.BlockLength;
    ++data.BlockNumber;
    data.FileOffset += data.BlockLength;
}

// Without G mode the reply byte is given; in G mode the block counts as delivered at once.
bool ProcessBlockReply(ProtocolData& data, std::uint8_t byte) {
    switch (byte) {
    case cAck:
        CountDelivered(data);
        return true;
    case cCan:
        data.Status = psCancelRequested;
        data.ForceStatus = true;
        return false;
    case cNak:
        ++data.BlockErrors;
        ++data.TotalErrors;
        data.Status = psBlockCheckError;
        data.ForceStatus = true;
        return false;
    default:
        ++data.BlockErrors;
        ++data.TotalErrors;
        data.Status = psProtocolError;
        data.ForceStatus = true;
        return false;
    }
}

bool ProcessBlockReplyG(ProtocolData& data) {
    CountDelivered(data);
    std::uint8_t byte = 0;
    if (TakeByte(data, byte) && (byte == cCan || byte == cNak)) {
        data.Status = psCancelRequested;
        data.ForceStatus = true;
        return false;
    }
    return true;
}

void SendEot(ProtocolData& data, bool first) {
    data.Status = psOK;
    if (first) {
        data.BlockErrors = 0;
        data.EotNakCount = 0;
    }
    data.Line->FlushInput();
    data.Line->SendChar(cEot);
}

bool ProcessEotReply(ProtocolData& data, std::uint8_t byte) {
    switch (byte) {
    case cAck:
        data.Status = psEndFile;
        return true;
    case cCan:
        data.Status = psCancelRequested;
        data.ForceStatus = true;
        return true;
    case cNak:
        ++data.EotNakCount;
        if (data.EotNakCount >= 3) {
            SendCancel(data);
            ReportError(data, ecTooManyErrors);
            return true;
        }
        return false;
    default:
        ++data.BlockErrors;
        ++data.TotalErrors;
        data.Status = psProtocolError;
        return false;
    }
}

std::int32_t EndDrainTicks(const ProtocolData& data) {
    if (data.FinishWait != 0) return static_cast<std::int32_t>(data.FinishWait);
    const std::int64_t ring = static_cast<std::int64_t>(data.Line->InputUsed()) + data.Line->InputFree();
    const std::int64_t cps = std::max<std::int64_t>(data.CharsPerSecond, 1);
    return static_cast<std::int32_t>((ring / cps * 182 / 10 + data.XYmodemBlockWait) * 2);
}

void Finish(ProtocolData& data) {
    const bool success = data.Status == psEndFile && data.ErrorCode == 0;
    if (!success && data.Line->IsOpen()) data.Line->FlushInput();
    LetCancelDrain(data);
    data.FinishReadProc(data);
    data.LogProc(data, success ? LogTransmitOk : LogTransmitFail);
    data.DataBlock.clear();
    data.DataBlock.shrink_to_fit();
    data.XmodemState = txDone;
    ShowLastStatus(data);
    FinishProtocol(data);
}

// What woke the state machine: received bytes (trigger 0), the state's time-out, or another
// trigger (the output queue's free-space or drained trigger).
struct TWake {
    std::uint32_t trigger;
    bool bytes;
    bool timeout;
};

void StartTransmit(ProtocolData& data) {
    data.DataBlock.assign(1024, 0);
    data.LogProc(data, LogTransmitStart);
    data.Status = psProtocolHandshake;
    data.ForceStatus = true;
    data.PrepareReadProc(data);
    if (data.ErrorCode != 0) {
        data.XmodemState = txFinished;
        return;
    }
    data.BlockNumber = 1;
    data.HandshakeAttempt = 0;
    data.XmodemState = NextHandshakeAttempt(data) ? txHandshake : txFinished;
}

void AwaitHandshake(ProtocolData& data, const TWake& wake) {
    std::uint8_t byte = 0;
    if (wake.bytes) {
        if (TakeByte(data, byte)) HandshakeByte(data, byte);
    } else if (wake.timeout) {
        if (data.PendingStart != 0) {
            AcceptStart(data, data.PendingStart);
        } else if (!NextHandshakeAttempt(data)) {
            data.XmodemState = txFinished;
        }
    }
}

void GetBlock(ProtocolData& data) {
    std::uint32_t size = data.BlockLength;
    data.BlockErrors = 0;
    data.LastBlock = data.ReadBlockProc(data, data.DataBlock.data(), size);
    data.LastBlockSize = size;
    if (data.ErrorCode != 0) {
        // The file could not be read: the receiver is told, and the error ends the transfer.
        SendCancel(data);
        data.XmodemState = txFinished;
        return;
    }
    PrepareBlockSend(data);
}

void AwaitFreeSpace(ProtocolData& data, const TWake& wake) {
    if (IsHandle(wake.trigger, data.OutFreeTrigger)) {
        data.XmodemState = txSendBlock;
    } else if (wake.timeout) {
        ReportError(data, ecTimeout);
        data.XmodemState = txFinished;
    } else if (wake.bytes && data.UseG) {
        std::uint8_t byte = 0;
        while (TakeByte(data, byte)) {
            if (byte == cCan) {
                data.Status = psCancelRequested;
                data.ForceStatus = true;
                data.XmodemState = txFinished;
                return;
            }
        }
    }
}

// After a block went out: without replies per block (-G) the next block follows at once, else
// the state waits for the block to leave the line and then for its reply.
void FollowSentBlock(ProtocolData& data) {
    TProtocolLine& line = *data.Line;
    if (!data.UseG) {
        data.XmodemState = txDraining;
        ArmTimeout(data, DrainWaitTicks);
        line.ArmStatusTrigger(data.OutDrainTrigger, 0);
    } else if (!ProcessBlockReplyG(data)) {
        line.FlushOutput();
        data.XmodemState = txFinished;
    } else if (data.LastBlock) {
        data.XmodemState = txEndDrain;
        ArmTimeout(data, static_cast<std::uint32_t>(EndDrainTicks(data)));
        line.ArmStatusTrigger(data.OutDrainTrigger, 0);
    } else {
        data.XmodemState = txGetBlock;
    }
}

void SendBlock(ProtocolData& data) {
    if (data.LastBlockSize == 0) {
        data.XmodemState = txFirstEOT;
        return;
    }
    if (data.ErrorCode != 0) {
        SendCancel(data);
        data.XmodemState = txFinished;
        return;
    }
    TransmitBlock(data);
    data.ForceStatus = true;
    if (data.ErrorCode != 0) {
        // TransmitBlock has discarded queued output and queued the cancel sequence; it must
        // reach the line, so nothing is flushed here.
        data.XmodemState = txFinished;
        return;
    }
    FollowSentBlock(data);
}

void AwaitBlockReply(ProtocolData& data, const TWake& wake) {
    if (wake.bytes) {
        std::uint8_t byte = 0;
        if (!TakeByte(data, byte) || RepeatedStartCharacter(data, byte)) return;
        data.SilentTicks = 0;
        if (ProcessBlockReply(data, byte)) {
            data.XmodemState = data.LastBlock ? txFirstEOT : txGetBlock;
        } else if (data.Status == psCancelRequested) {
            data.Line->FlushOutput();
            data.XmodemState = txFinished;
        } else {
            PrepareBlockSend(data);  // the same block again
        }
    } else if (wake.timeout) {
        if (SilenceLimitReached(data)) {
            data.XmodemState = txFinished;
        } else {
            PrepareBlockSend(data);  // silence is not counted as an error
        }
    }
}

void SendLaterEot(ProtocolData& data) {
    SendEot(data, false);
    ArmReplyWait(data, data.XYmodemBlockWait);
    if (data.BlockErrors > data.MaxBlockErrors) {
        ReportError(data, ecTooManyErrors);
        data.XmodemState = txFinished;
    } else {
        data.XmodemState = txEotReply;
    }
}

void AwaitEotReply(ProtocolData& data, const TWake& wake) {
    if (wake.bytes) {
        std::uint8_t byte = 0;
        if (!TakeByte(data, byte) || RepeatedStartCharacter(data, byte)) return;
        data.SilentTicks = 0;
        data.XmodemState = ProcessEotReply(data, byte) ? txFinished : txRestEOT;
    } else if (wake.timeout) {
        data.XmodemState = SilenceLimitReached(data) ? txFinished : txRestEOT;
    }
}

// Performs the action of the current state.
void RunState(ProtocolData& data, std::uint32_t trigger) {
    const TWake wake{trigger, trigger == 0, IsHandle(trigger, data.TimeoutTimer)};

    switch (data.XmodemState) {
    case txInitial:
        StartTransmit(data);
        break;
    case txHandshake:
        AwaitHandshake(data, wake);
        break;
    case txGetBlock:
        GetBlock(data);
        break;
    case txWtFreeSpc:
        AwaitFreeSpace(data, wake);
        break;
    case txSendBlock:
        SendBlock(data);
        break;
    case txDraining:
        if (wake.bytes || wake.timeout || IsHandle(trigger, data.OutDrainTrigger)) {
            data.XmodemState = txRplyPnding;
            ArmReplyWait(data, data.XYmodemBlockWait);
        }
        break;
    case txRplyPnding:
        AwaitBlockReply(data, wake);
        break;
    case txEndDrain:
        if (wake.timeout || IsHandle(trigger, data.OutDrainTrigger)) data.XmodemState = txFirstEOT;
        break;
    case txFirstEOT:
        SendEot(data, true);
        ArmReplyWait(data, data.TransmitTimeout);
        data.XmodemState = txEotReply;
        break;
    case txRestEOT:
        SendLaterEot(data);
        break;
    case txEotReply:
        AwaitEotReply(data, wake);
        break;
    case txFinished:
        Finish(data);
        break;
    case txDone:
        break;
    }
}

}  // namespace

const char* XmodemStateName(TXmodemState state) {
    static const char* const names[] = {"txInitial",  "txHandshake", "txGetBlock", "txWtFreeSpc",
                                        "txSendBlock", "txDraining", "txRplyPnding", "txEndDrain",
                                        "txFirstEOT", "txRestEOT",   "txEotReply", "txFinished",
                                        "txDone"};
    return state <= txDone ? names[state] : "txUnknown";
}

std::vector<std::uint8_t> BuildXmodemBlock(std::uint8_t startChar, std::uint32_t blockNumber,
                                           const std::uint8_t* data, std::uint32_t length,
                                           bool useCrc) {
    std::vector<std::uint8_t> block;
    block.reserve(3 + length + 2);
    const std::uint8_t number = static_cast<std::uint8_t>(blockNumber & 0xFF);
    block.push_back(startChar);
    block.push_back(number);
    block.push_back(static_cast<std::uint8_t>(255 - number));
    block.insert(block.end(), data, data + length);
    if (useCrc) {
        const std::uint16_t crc = BlockCrc16(data, length);
        block.push_back(static_cast<std::uint8_t>(crc >> 8));
        block.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    } else {
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < length; ++i) sum = UpdateChecksum(data[i], sum);
        block.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    }
    return block;
}

TProtocolType ProtocolTypeFor(const ProtocolData& data) {
    const bool ymodem = data.ProtocolType == ptYmodem || data.ProtocolType == ptYmodemG;
    if (!data.UseCrc) return ptXmodem;
    if (!data.Use1K) return ptXmodemCRC;
    if (!data.UseG) return ymodem ? ptYmodem : ptXmodem1K;
    return ymodem ? ptYmodemG : ptXmodem1KG;
}

namespace {

bool SwitchAllowed(const ProtocolData& data) {
    return data.ProtocolType >= ptXmodem && data.ProtocolType <= ptYmodemG;
}

std::int32_t SetCrcSwitch(ProtocolData& data, bool on) {
    if (!SwitchAllowed(data)) return ecBadProtocolFunction;
    if (data.ProtocolType >= ptXmodem1K) on = true;
    data.UseCrc = on;
    data.BlockCheck = on ? bcmCrc16 : bcmChecksum;
    data.ProtocolType = ProtocolTypeFor(data);
    return ecOK;
}

std::int32_t Set1KSwitch(ProtocolData& data, bool on) {
    if (!SwitchAllowed(data)) return ecBadProtocolFunction;
    data.Use1K = on;
    if (on) {
        data.BlockLength = 1024;
        data.StartChar = cStx;
        data.UseCrc = true;
    } else {
        data.BlockLength = 128;
        data.StartChar = cSoh;
    }
    data.ProtocolType = ProtocolTypeFor(data);
    return ecOK;
}

std::int32_t SetGSwitch(ProtocolData& data, bool on) {
    if (!SwitchAllowed(data)) return ecBadProtocolFunction;
    data.UseG = on;
    if (on) {
        Set1KSwitch(data, true);
        data.TurnDelay = 0;
    } else {
        data.TurnDelay = 1000;
        data.MaxBlockErrors = 5;
    }
    data.ProtocolType = ProtocolTypeFor(data);
    return ecOK;
}

}  // namespace

std::int32_t InitXmodem(ProtocolData& data, bool useCrc, bool use1K, bool useG) {
    data.ProtocolType = ptXmodem;
    std::int32_t result = SetCrcSwitch(data, useCrc);
    if (result == ecOK) result = Set1KSwitch(data, use1K);
    if (result == ecOK) result = SetGSwitch(data, useG);
    if (result != ecOK) return result;
    data.XYmodemBlockWait = 91;
    data.MaxBlockErrors = 5;
    data.Overhead = 5;
    data.TurnDelay = 1000;
    data.FinishWait = 0;
    data.PrepareReadProc = DefaultPrepareRead;
    data.ReadBlockProc = DefaultReadBlock;
    data.FinishReadProc = DefaultFinishRead;
    return ecOK;
}

void PrepareTransmit(ProtocolData& data) {
    ResetStatus(data);
    ShowFirstStatus(data);
    data.Image.reset();
    std::string name = data.LiteralFile;
    if (name.empty() && !data.NextFileProc(data, name)) {
        // Without a file nothing would ever end the transfer: it ends here with an error.
        if (data.ErrorCode == 0) ReportError(data, ecNoMatchingFiles);
        ShowLastStatus(data);
        return;
    }
    data.PathName = name.substr(0, MaxPathLength);
    data.TimingStarted = false;
    data.ForceStatus = true;
    data.CancelQueued = false;
    data.SilentTicks = 0;
    data.PendingStart = 0;
    data.XmodemState = txInitial;
    data.DataBlock.clear();
    data.Line->FlushInput();
}

bool TransmitStateMachine(std::uint32_t msg, std::uint32_t trigger, std::int32_t lParam) {
    ProtocolData* data = FindProtocolData(lParam);
    if (!data) return false;
    return TransmitStep(*data, msg, trigger);
}

bool TransmitStep(ProtocolData& data, std::uint32_t msg, std::uint32_t trigger) {
    std::lock_guard<std::recursive_mutex> lock(data.Lock);
    if (data.XmodemState == txDone) return true;
    if (!data.Line) return false;
    TProtocolLine& line = *data.Line;
    if (msg == kTriggerAvail) trigger = 0;
    const std::uint32_t stepTrigger = trigger;

    bool finished = false;
    for (;;) {
        if (data.XmodemState == txFinished) finished = true;
        if (msg == ProtocolCancelMsg ||
            (IsHandle(trigger, data.CarrierTrigger) && !line.CarrierPresent())) {
            if (data.XmodemState < txFinished) {
                if (msg == ProtocolCancelMsg) {
                    SendCancel(data);
                    data.Status = psCancelRequested;
                } else {
                    data.Status = psAbortNoCarrier;
                }
                data.XmodemState = txFinished;
                data.ForceStatus = true;
                finished = true;
            }
        }
        if (data.XmodemState < txFinished && line.DeviceGone()) {
            // The port's device went away, or the port failed: nothing sent from now on reaches
            // a receiver.
            if (data.ErrorCode == 0) data.ErrorCode = line.GoneError();
            data.XmodemState = txFinished;
            finished = true;
        }
        line.AddLogEntry(lgXmodem, lgProtocolState, XmodemStateName(data.XmodemState));
        // A report waits for the user-interface thread: it comes at the end of the step, after
        // the block that a reply lets go, except before the finish, which reports last.
        if (data.XmodemState == txFinished) PaceStatus(data, trigger);
        RunState(data, trigger);
        trigger = 0;

        bool again = false;
        switch (data.XmodemState) {
        case txInitial:
        case txWtFreeSpc:
        case txEndDrain:
        case txDone: again = false; break;
        case txHandshake:
        case txDraining:
        case txRplyPnding:
        case txEotReply: again = line.InputReady(); break;
        case txGetBlock:
        case txSendBlock:
        case txFirstEOT:
        case txRestEOT:
        case txFinished: again = true; break;
        }
        if (!again) break;
    }
    if (!finished) PaceStatus(data, stepTrigger);
    return finished;
}

}  // namespace kavo
