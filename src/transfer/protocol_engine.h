// The protocol engine core: the per-transfer record, starting and stopping a protocol on a port,
// the file reader, status pacing, the transfer figures, CRC-16 and checksum, and the protocol
// status codes with their texts.
//
// A protocol (XMODEM, xmodem.h) supplies a prepare routine and a state machine; the core creates
// the triggers, attaches the state machine to the port's dispatcher and, at the end, turns the
// final status into an error code and posts the finish message to the component's window.
//
// Thread safety: the record is shared by the protocol component (user-interface thread) and the
// running state machine (dispatcher thread). Every state-machine step holds `Lock`. The component
// reads the figures the status window shows without it: a step sends status messages to the
// component's window while it holds `Lock`, so a getter that waited for it could deadlock. Those
// figures are TSharedFigure (atomic) fields; every other field belongs to whoever holds `Lock`.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/message_queue.h"
#include "serial/dispatcher_codes.h"
#include "serial/ticks.h"
#include "transfer/firmware_image.h"
#include "transfer/protocol_line.h"

namespace kavo {

class TApdCustomComPort;

enum TProtocolType : std::int32_t {
    ptNoProtocol = 0,
    ptXmodem = 1,
    ptXmodemCRC = 2,
    ptXmodem1K = 3,
    ptXmodem1KG = 4,
    ptYmodem = 5,
    ptYmodemG = 6,
    ptZmodem = 7,
    ptKermit = 8,
    ptAscii = 9,
};

enum TBlockCheckMethod : std::int32_t {
    bcmNone = 0,
    bcmChecksum = 1,
    bcmChecksum2 = 2,
    bcmCrc16 = 3,
    bcmCrc32 = 4,
    bcmCrcK = 5,
};

enum TWriteFailAction : std::int32_t {
    wfWriteNone = 0,
    wfWriteFail = 1,
    wfWriteRename = 2,
    wfWriteAnyway = 3,
    wfWriteResume = 4,
};

// Protocol status codes (ProtocolData::Status).
constexpr std::int32_t psOK = 4700;
constexpr std::int32_t psProtocolHandshake = 4701;
constexpr std::int32_t psInvalidDate = 4702;
constexpr std::int32_t psFileRejected = 4703;
constexpr std::int32_t psFileRenamed = 4704;
constexpr std::int32_t psSkipFile = 4705;
constexpr std::int32_t psFileDoesntExist = 4706;
constexpr std::int32_t psCantWriteFile = 4707;
constexpr std::int32_t psTimeout = 4708;
constexpr std::int32_t psBlockCheckError = 4709;
constexpr std::int32_t psLongPacket = 4710;
constexpr std::int32_t psDuplicateBlock = 4711;
constexpr std::int32_t psProtocolError = 4712;
constexpr std::int32_t psCancelRequested = 4713;
constexpr std::int32_t psEndFile = 4714;
constexpr std::int32_t psResumeBad = 4715;
constexpr std::int32_t psSequenceError = 4716;
constexpr std::int32_t psAbortNoCarrier = 4717;
constexpr std::int32_t psAbort = 4730;

// Messages from the engine to the component's window.
constexpr std::uint32_t ProtocolCancelMsg = 0x7E14;
constexpr std::uint32_t ProtocolStatusMsg = 0x7E15;
constexpr std::uint32_t ProtocolLogMsg = 0x7E16;
constexpr std::uint32_t ProtocolNextFileMsg = 0x7E17;
constexpr std::uint32_t ProtocolAcceptFileMsg = 0x7E18;
constexpr std::uint32_t ProtocolFinishMsg = 0x7E19;
constexpr std::uint32_t ProtocolResumeMsg = 0x7E1A;
constexpr std::uint32_t ProtocolErrorMsg = 0x7E1B;

// Status report options (wParam of ProtocolStatusMsg).
constexpr std::uint32_t StatusOptionFirst = 1;
constexpr std::uint32_t StatusOptionLast = 2;

// Log codes of the transmit side (wParam of ProtocolLogMsg).
constexpr std::uint32_t LogTransmitStart = 4;
constexpr std::uint32_t LogTransmitOk = 5;
constexpr std::uint32_t LogTransmitFail = 6;

// Option bits (ProtocolData::Options).
constexpr std::uint32_t OptIncludeDirectory = 0x01;
constexpr std::uint32_t OptHonorDirectory = 0x02;
constexpr std::uint32_t OptRTSLowForWrite = 0x04;
constexpr std::uint32_t OptAbortNoCarrier = 0x08;
constexpr std::uint32_t OptBP2KTransmit = 0x80;
constexpr std::uint32_t OptAsciiSuppressCtrlZ = 0x100;

// The longest path the engine keeps (the system's PATH_MAX less its terminating zero).
constexpr std::size_t MaxPathLength = 4095;
// The time-out that every message the engine sends waits for the window procedure.
constexpr std::uint32_t MessageTimeoutMs = 1000;

// States of the XMODEM transmitter (ProtocolData::XmodemState).
enum TXmodemState : std::uint8_t {
    txInitial = 0,
    txHandshake,
    txGetBlock,
    txWtFreeSpc,
    txSendBlock,
    txDraining,
    txRplyPnding,
    txEndDrain,
    txFirstEOT,
    txRestEOT,
    txEotReply,
    txFinished,
    txDone,
};

// A field of the record that the dispatcher thread writes (holding `Lock`) while the
// user-interface thread reads it without the lock. Reads see a whole value, written before or
// after; they imply no order with other fields. Reads and writes look like those of a plain T.
template <class T>
class TSharedFigure {
public:
    constexpr TSharedFigure(T value = T{}) noexcept : value_(value) {}
    TSharedFigure(const TSharedFigure& other) noexcept : value_(other.Load()) {}
    TSharedFigure& operator=(const TSharedFigure& other) noexcept {
        Store(other.Load());
        return *this;
    }
    TSharedFigure& operator=(T value) noexcept {
        Store(value);
        return *this;
    }
    operator T() const noexcept { return Load(); }
    T Load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void Store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }

    TSharedFigure& operator+=(T delta) noexcept
        requires std::is_integral_v<T>
    {
        value_.fetch_add(delta, std::memory_order_relaxed);
        return *this;
    }
    TSharedFigure& operator-=(T delta) noexcept
        requires std::is_integral_v<T>
    {
        value_.fetch_sub(delta, std::memory_order_relaxed);
        return *this;
    }
    TSharedFigure& operator++() noexcept
        requires std::is_integral_v<T>
    {
        return *this += 1;
    }
    TSharedFigure& operator--() noexcept
        requires std::is_integral_v<T>
    {
        return *this -= 1;
    }
    T operator++(int) noexcept
        requires std::is_integral_v<T>
    {
        return value_.fetch_add(1, std::memory_order_relaxed);
    }

private:
    std::atomic<T> value_;
};

struct ProtocolData;

// A protocol's state machine, run with the record already found: message, trigger handle.
// Returns true when this call finished the protocol or it was already done.
using ProtocolStepProc = bool (*)(ProtocolData& data, std::uint32_t msg, std::uint32_t trigger);
// A protocol's entry as a dispatcher sees it: message, trigger handle, long parameter.
using ProtocolStateMachine = bool (*)(std::uint32_t msg, std::uint32_t trigger, std::int32_t lParam);
using ProtocolPrepareProc = void (*)(ProtocolData& data);

// The per-transfer record of one protocol component.
struct ProtocolData {
    // Triggers.
    std::int32_t StatusTimer = 0;
    std::int32_t TimeoutTimer = 0;
    std::int32_t OutFreeTrigger = 0;
    std::int32_t OutDrainTrigger = 0;
    std::int32_t CarrierTrigger = 0;

    HWND MessageWindow = 0;
    TApdCustomComPort* ComPort = nullptr;
    bool TimingStarted = false;
    TSharedFigure<TProtocolType> ProtocolType = ptNoProtocol;
    TSharedFigure<TBlockCheckMethod> BlockCheck = bcmNone;
    std::uint32_t HandshakeRetry = 10;
    std::uint32_t HandshakeWait = 182;
    std::uint32_t HandshakeAttempt = 0;
    TSharedFigure<std::uint32_t> BlockLength = 128;
    std::uint32_t BlockNumber = 0;
    std::uint32_t Options = 0;
    std::uint32_t TransmitTimeout = 1092;
    std::uint32_t FinishWait = 0;
    TSharedFigure<std::int32_t> Status = 0;
    TSharedFigure<std::uint32_t> LastBlockSize = 0;
    std::int32_t ErrorCode = 0;
    TSharedFigure<std::int64_t> FileLength = 0;
    std::int64_t FileDate = 0;
    std::uint32_t CheckValue = 0;
    TSharedFigure<std::int64_t> InitialOffset = 0;
    std::vector<std::uint8_t> DataBlock;  // empty: none
    ProtocolStepProc StateMachine = nullptr;
    std::recursive_mutex Lock;
    bool ForceStatus = false;
    TSharedFigure<std::int32_t> InProgress = 0;
    TSharedFigure<std::uint32_t> BlockErrors = 0;
    TSharedFigure<std::uint32_t> TotalErrors = 0;
    TSharedFigure<std::uint32_t> CharsPerSecond = 0;
    TSharedFigure<std::uint32_t> Overhead = 0;
    TSharedFigure<std::uint32_t> TurnDelay = 0;
    std::uint32_t StatusInterval = 10;
    TSharedFigure<std::int64_t> TransferredBytes = 0;
    TSharedFigure<std::int32_t> ElapsedTicks = 0;
    TickTimer TransferTimer;
    bool FileOpen = false;
    bool LastBlock = false;
    TWriteFailAction WriteFailAction = wfWriteRename;
    std::int64_t FileOffset = 0;
    // The image of the file being sent (taken when it is opened), and after the transfer the one
    // last sent; the file itself is not read again.
    std::shared_ptr<const TFirmwareImage> Image;
    bool UpcaseFileNames = true;
    bool FirstSearch = false;
    std::string PathName;
    std::string SearchMask = "*.*";
    // When not empty, the one file the next transfer sends, taken as it is: no mask search, so
    // '*', '?' and every other character are part of its name.
    std::string LiteralFile;
    // Directory search: the sorted matches of the mask and the next one to hand out.
    std::vector<std::string> SearchState;
    std::size_t SearchIndex = 0;
    bool SearchActive = false;

    // Reporting routines (defaults send messages to MessageWindow).
    void (*StatusProc)(ProtocolData& data, std::uint32_t options) = nullptr;
    void (*LogProc)(ProtocolData& data, std::uint32_t code) = nullptr;
    bool (*NextFileProc)(ProtocolData& data, std::string& name) = nullptr;
    bool (*AcceptFileProc)(ProtocolData& data, std::string& name) = nullptr;
    // File routines for sending (the write side is not used by this system).
    void (*PrepareReadProc)(ProtocolData& data) = nullptr;
    bool (*ReadBlockProc)(ProtocolData& data, std::uint8_t* destination, std::uint32_t& size) = nullptr;
    void (*FinishReadProc)(ProtocolData& data) = nullptr;

    // Name buffer of the next-file and accept messages. It lives in the record, not on a step's
    // stack, because a reply that comes after the time-out still writes into it.
    std::array<char, MaxPathLength + 1> NameBuffer{};

    std::string DestinationDirectory;

    // The line of the running transfer (the port's dispatcher), set by whoever starts it.
    TProtocolLine* Line = nullptr;
    std::unique_ptr<TProtocolLine> OwnedLine;
    // Set while StartProtocol has a transfer of this record running (triggers exist).
    bool Started = false;
    // The finish of the transfer last started has been posted.
    bool FinishPosted = false;

    // XMODEM.
    bool UseCrc = false;
    bool Use1K = false;
    bool UseG = false;
    std::uint32_t MaxBlockErrors = 5;
    std::uint32_t XYmodemBlockWait = 91;
    std::uint8_t StartChar = 0x01;
    std::uint32_t EotNakCount = 0;
    TXmodemState XmodemState = txDone;
    // The handshake: a start character counts once the line has stayed quiet this many ticks
    // after it, so that a 'C' or NAK inside the text a loader prints before it asks does not
    // start the transfer while the loader is still writing. 0: it counts at once.
    std::uint32_t StartQuietTicks = 3;
    // The start character waiting for that quiet (0: none), and when the handshake wait that
    // the quiet interrupted runs out (milliseconds on the tick clock).
    std::uint8_t PendingStart = 0;
    std::uint32_t AttemptEndMs = 0;
    // A cancel sequence was queued in this transfer (it is given time to reach the line).
    bool CancelQueued = false;
    // Unattended runs: when the waits for a block or EOT reply pass one after another without a
    // single received byte for this many ticks in total, the transfer ends with a time-out.
    // 0: no limit (the block or EOT goes again until someone cancels).
    std::uint32_t SilenceLimit = 0;
    // Ticks of the reply waits timed out since the last received byte, and the length of the
    // reply wait now armed.
    std::uint32_t SilentTicks = 0;
    std::uint32_t ReplyWait = 0;
};

// Record lifecycle and settings.
std::int32_t InitProtocolData(std::unique_ptr<ProtocolData>& data, TApdCustomComPort* port,
                              std::uint32_t options);
void DoneProtocolData(std::unique_ptr<ProtocolData>& data);
void SetMessageWindow(ProtocolData& data, HWND window);
void SetComPort(ProtocolData& data, TApdCustomComPort* port);
void SetFileName(ProtocolData& data, const std::string& name);
void SetLineSpeed(ProtocolData& data, std::uint32_t baud);

// Running a protocol.
void StartProtocol(ProtocolData& data, TProtocolType protocolType, ProtocolStepProc stateMachine,
                   ProtocolPrepareProc prepare);
void StopProtocol(ProtocolData& data);
void FinishProtocol(ProtocolData& data);
void ResetStatus(ProtocolData& data);
void ShowFirstStatus(ProtocolData& data);
void ShowLastStatus(ProtocolData& data);
void ReportError(ProtocolData& data, std::int32_t code);
bool NextMatchingFile(ProtocolData& data, std::string& name);
// Status pacing at the top of a step: reports at most once per StatusInterval.
void PaceStatus(ProtocolData& data, std::uint32_t trigger);
// The status code that a finish with ErrorCode 0 turns into (0 for success).
std::int32_t ErrorForStatus(std::int32_t status);

// Finds the record of a trigger message's dispatcher (high 16 bits of lParam); nullptr if none.
ProtocolData* FindProtocolData(std::int32_t lParam);

// Figures.
std::int64_t BytesTransferred(ProtocolData& data);
std::int64_t BytesRemaining(ProtocolData& data);
std::int64_t EstimateTransferSecs(const ProtocolData& data, std::int64_t bytes);

// Block checks.
std::uint32_t UpdateChecksum(std::uint8_t byte, std::uint32_t value);
std::uint16_t UpdateCrc16(std::uint8_t byte, std::uint16_t crc);
// CRC-16/XMODEM of a block: every byte, then two steps with 0.
std::uint16_t BlockCrc16(const std::uint8_t* data, std::size_t length);

// Text of a protocol status code (4700..4723); empty for any other code.
std::string ProtocolStatusText(std::int32_t status);

// Default routines.
void DefaultStatusProc(ProtocolData& data, std::uint32_t options);
void DefaultLogProc(ProtocolData& data, std::uint32_t code);
bool DefaultNextFileProc(ProtocolData& data, std::string& name);
bool DefaultAcceptFileProc(ProtocolData& data, std::string& name);
void DefaultPrepareRead(ProtocolData& data);
bool DefaultReadBlock(ProtocolData& data, std::uint8_t* destination, std::uint32_t& size);
void DefaultFinishRead(ProtocolData& data);

}  // namespace kavo
