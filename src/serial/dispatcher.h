// The dispatcher: the engine under one open serial port.
//
// TApdBaseDispatcher owns the 8192-byte receive ring, the output ring, the shadows of the modem
// status and the line errors, the trigger lists (timer, status, data-match and the availability
// level) and the lists of handlers that are told when a trigger fires. A service pass, run by the
// device layer's dispatcher thread after every device event and at least every 50 ms, moves waiting
// bytes from the device into the receive ring, evaluates the triggers and delivers one message per
// fired trigger. The base class knows no operating system: everything that touches the device goes
// through the virtual device operations, which the platform's device layer (native_dispatcher.h) fills in.
//
// Trigger messages (window handlers get them through SendMessageTimeout with 3000 ms, procedure
// handlers as a direct call on the dispatcher thread):
//
//   message            first parameter               lParam low 16 bits   lParam high 16 bits
//   kTriggerAvail      bytes available               0                    dispatcher handle
//   kTriggerData       trigger handle                match length         dispatcher handle
//   kTriggerTimer      trigger handle                0                    dispatcher handle
//   kTriggerStatus     trigger handle (kind = & 7)   count (see kinds)    dispatcher handle
//
// Handles: timer triggers are multiples of 8; a status trigger is a multiple of 8 OR its kind;
// handle 1 stands for the availability trigger; 0 is never valid.
//
// Delivery: during an availability delivery each handler starts reading at the same unread byte
// (ReadChar counts the handler's take in getCount); when the delivery ends the receive ring advances
// by the largest take of any handler. A handler that takes nothing leaves the bytes; they are
// announced again, together with newer ones, when more bytes arrive.
//
// Device loss (hang-up of the far side, adapter unplugged): the device layer reports it once and
// stops using the device. From then on DeviceLost() is true; the receive ring keeps what it holds;
// queued output is dropped, so OutputUsed() reads 0 and OutputFree() reads OutSize, which lets
// output-buffer status triggers fire instead of leaving a protocol waiting for a drain that never
// comes; SendBlock/SendChar return ecDeviceWrite ("device write fault"); the modem status
// reads as all lines low, so a carrier check sees the carrier gone. A log entry (type 1,
// subtype 9) records the loss, and the loss is also raised as a line-status event.
//
// Worker failure (an exception escaped a worker thread of the device layer): the port is down as
// after a device loss, and WorkerFailed() tells the two apart. The failure's text (the port, the
// worker and the error) is kept (WorkerFailure), logged (type 1, subtype 10), and posted to every
// attached window as kWorkerFailed, so that the port's owner hears of it on its own thread even
// when the dispatcher thread itself is the one that ended. The other workers end as well.
//
// Thread safety:
//  - Any thread may call the byte, count, trigger, handler, line and recorder operations; they
//    take the locks named below and never call out (to a handler or a window) while holding one.
//  - OpenPort, ClosePort and destruction belong to the thread that owns the port (the
//    user-interface thread). ClosePort may also be called from inside a delivery (by a procedure
//    handler on the dispatcher thread, or by a window handler); the close then completes when the
//    dispatcher thread ends.
//  - ServiceDevice, ServiceTimers and DeliverTrigger run on the dispatcher thread only (tests of
//    the base class call them directly on a dispatcher without threads).
//  - Locks, all re-entrant: stateLock (triggers, handlers, flags, line settings), inputLock
//    (receive ring, getCount), outputLock (output ring). Order: stateLock before inputLock before
//    outputLock; none of them is taken while a recorder lock or the device lock is held.
//  - The trace and the dispatch log have a lock of their own, taken last, so that any thread
//    (holding any of the three locks) may add entries.
//  - dispatcherListLock() guards the process-wide dispatcher list against changes: creation and
//    destruction take it, and a thread that must keep a found dispatcher alive holds it. The
//    lookups FindDispatcher and DispatcherCount do not wait for it (they use an inner lock), so a
//    dispatcher thread can find its own dispatcher while the user-interface thread holds the lock
//    and waits for that thread to stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "serial/byte_rings.h"
#include "serial/dispatcher_codes.h"
#include "serial/ticks.h"

namespace kavo {

class TComponent;

constexpr int kAvailTriggerHandle = 1;

// Modem status byte: change bits (accumulate) and line levels.
constexpr std::uint8_t msCtsDelta = 0x01;
constexpr std::uint8_t msDsrDelta = 0x02;
constexpr std::uint8_t msRingDelta = 0x04;
constexpr std::uint8_t msDcdDelta = 0x08;
constexpr std::uint8_t msCts = 0x10;
constexpr std::uint8_t msDsr = 0x20;
constexpr std::uint8_t msRing = 0x40;
constexpr std::uint8_t msDcd = 0x80;

// Line error word.
constexpr std::uint32_t leOverflow = 0x01;  // receive queue overflow
constexpr std::uint32_t leOverrun = 0x02;
constexpr std::uint32_t leParity = 0x04;
constexpr std::uint32_t leFraming = 0x08;
constexpr std::uint32_t leBreak = 0x10;

// Device event mask bits, as the device thread stores them for the service pass.
constexpr std::uint32_t evRxChar = 0x0001;
constexpr std::uint32_t evCts = 0x0008;
constexpr std::uint32_t evDsr = 0x0010;
constexpr std::uint32_t evRlsd = 0x0020;
constexpr std::uint32_t evBreak = 0x0040;
constexpr std::uint32_t evErr = 0x0080;
constexpr std::uint32_t evRing = 0x0100;
constexpr std::uint32_t evRingEnd = 0x2000;

// Option bits of OpenPort.
constexpr std::uint32_t opDtrOn = 0x01;
constexpr std::uint32_t opRtsOn = 0x02;
constexpr std::uint32_t opDtrAuto = 0x10;
constexpr std::uint32_t opRtsAuto = 0x20;

// Line functions of DeviceEscape.
constexpr int efSetRts = 3;
constexpr int efClrRts = 4;
constexpr int efSetDtr = 5;
constexpr int efClrDtr = 6;

constexpr std::uint32_t kReceiveRingSize = 8192;

// Parity codes (as the port's Parity property).
constexpr int kParityNone = 0;
constexpr int kParityOdd = 1;
constexpr int kParityEven = 2;
constexpr int kParityMark = 3;
constexpr int kParitySpace = 4;

// SetLineSettings: a setting passed as one of these is left as the device has it.
constexpr int kParityUnchanged = 5;
constexpr int kDataBitsUnchanged = 9;
constexpr int kStopBitsUnchanged = 3;

// Option bits of SetHardwareFlow.
constexpr std::uint32_t hfUseDtr = 0x01;      // DTR follows the receive queue (handshake)
constexpr std::uint32_t hfUseRts = 0x02;      // RTS follows the receive queue (handshake)
constexpr std::uint32_t hfRequireDsr = 0x04;  // send only while DSR is up
constexpr std::uint32_t hfRequireCts = 0x08;  // send only while CTS is up

// Option bits of SetSoftwareFlow.
constexpr std::uint32_t sfTransmit = 0x01;  // stop sending on XOFF
constexpr std::uint32_t sfReceive = 0x02;   // send XOFF when the receive queue fills

// Bits of a line status trigger's value (ArmStatusTrigger) and the line errors they watch.
constexpr std::uint16_t ltOverrun = 0x01;
constexpr std::uint16_t ltParity = 0x02;
constexpr std::uint16_t ltFraming = 0x04;
constexpr std::uint16_t ltBreak = 0x08;

// What SetPortHandlerState is told about the port's own window handler.
enum class TPortHandlerState { recheck, install, remove };

// Stop-bit codes of the device block.
constexpr int kOneStopBit = 0;
constexpr int kOne5StopBits = 1;
constexpr int kTwoStopBits = 2;

// Line control field values of the device block.
constexpr int kLineControlDisable = 0;
constexpr int kLineControlEnable = 1;
constexpr int kLineControlHandshake = 2;

// Result of ServiceDevice/DeliverTrigger aside, the operations return 0 or a count on success and
// a negative code of serial/error_codes.h on failure.

// The device control block: the line settings as the device holds them.
struct TDeviceBlock {
    std::uint32_t baud = 115200;
    int parity = kParityNone;
    int dataBits = 8;
    int stopBits = kOneStopBit;
    int dtrControl = kLineControlEnable;
    int rtsControl = kLineControlEnable;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool outX = false;  // output XON/XOFF: stop sending on XOFF
    bool inX = false;   // input XON/XOFF: send XOFF when the input queue fills
    std::uint32_t xonLim = 0;
    std::uint32_t xoffLim = 0;
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;

    bool operator==(const TDeviceBlock&) const = default;
};

// The device's status record; outQue is the output ring's used count.
struct TDeviceStatusRecord {
    std::uint32_t inQue = 0;
    std::uint32_t outQue = 0;
};

struct TTimerTrigger {
    int handle = 0;
    TickTimer timer;
    std::int32_t ticks = 0;  // length last armed
    bool active = false;
};

struct TStatusTrigger {
    int handle = 0;
    std::uint32_t kind = 0;
    std::uint16_t value = 0;
    bool armed = false;
    bool hit = false;
};

// Triggers carried across a close and reopen.
struct TriggerSnapshot {
    std::uint32_t availLevel = 0;
    std::optional<std::vector<TTimerTrigger>> timerTriggers;
    std::optional<std::vector<TStatusTrigger>> statusTriggers;
};

using TApdNotifyProc = void (*)(std::uint32_t msg, std::uint32_t first, std::int32_t lParam);

class TApdBaseDispatcher {
public:
    explicit TApdBaseDispatcher(TComponent* owner);
    virtual ~TApdBaseDispatcher();
    TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
    TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

    // Derived classes whose device operations must stay callable while the base closes call
    // Shutdown() first in their own destructor (the base destructor then has nothing left to do).
    void Shutdown();

    TComponent* Owner() const { return owner_; }
    int Handle() const { return handle_; }

    // --- lifecycle -------------------------------------------------------------------------
    int OpenPort(const std::string& deviceName, std::uint32_t baud, int parity, int dataBits,
                 int stopBits, std::uint32_t inSize, std::uint32_t outSize, std::uint32_t options);
    // Lets the queued output (the ring and the device's own queue) leave first, for as long as
    // it needs at the line's rate and a margin, then discards what is left and closes.
    void ClosePort();
    int SetUserData(void* data, int slot);
    void* GetUserData(int slot);

    // --- bytes ------------------------------------------------------------------------------
    bool InputReady();
    int ReadChar();  // the byte (0..255) or ecBufferIsEmpty
    int PeekByte(std::uint32_t n);
    int SendChar(std::uint8_t byte);
    int SendBlock(const void* data, std::uint32_t length);
    std::uint32_t InputUsed();
    std::uint32_t InputFree();
    // What has not left the machine yet: the ring and the device's own queue.
    std::uint32_t OutputUsed();
    // Room in the ring.
    std::uint32_t OutputFree();
    // Waits until everything queued has left (the ring and the device's own queue), the device is
    // gone or `timeoutMs` has passed; true when it all left. Woken by the output thread's progress
    // and by each service pass; what the device's own queue holds leaves at the line's rate without
    // an event of its own, so the wait looks again when that time has passed.
    bool WaitOutputDrained(std::uint32_t timeoutMs);
    int FlushInput();
    int FlushOutput();

    // --- triggers and handlers -------------------------------------------------------------
    void SetAvailTriggerLevel(std::uint32_t level);
    std::uint32_t AvailTriggerLevel();
    int CreateTimerTrigger();
    int ArmTimerTrigger(int handle, std::int32_t ticks, bool activate);
    int TimerTicksLeft(int handle, std::int32_t& ticksLeft);
    int CreateStatusTrigger(std::uint32_t kind);
    int ArmStatusTrigger(int handle, std::uint16_t value, bool activate);
    int DeleteTrigger(int handle);
    void ClearTriggers();
    void SaveTriggers(TriggerSnapshot& snapshot);
    void RestoreTriggers(const TriggerSnapshot& snapshot);
    void AttachTriggerWindow(HWND window);
    void DetachTriggerWindow(HWND window);
    void AttachTriggerHandler(TApdNotifyProc proc);
    void DetachTriggerHandler(TApdNotifyProc proc);
    virtual void SetPortHandlerState(TPortHandlerState state);

    // --- line control -----------------------------------------------------------------------
    int SetLineSettings(std::uint32_t baud, int parity, int dataBits, int stopBits);
    void GetLineSettings(std::uint32_t& baud, int& parity, int& dataBits, int& stopBits);
    int DriveDtr(bool on);
    int DriveRts(bool on);
    int SetHardwareFlow(std::uint32_t fullMark, std::uint32_t resumeMark, std::uint32_t options);
    int SetSoftwareFlow(std::uint32_t fullMark, std::uint32_t resumeMark, std::uint32_t options);
    int ClearSoftwareFlow();
    int SetFlowChars(std::uint8_t xonChar, std::uint8_t xoffChar);
    std::uint8_t ReadModemStatus(std::uint8_t keepMask);
    void UpdateModemChanges();
    void RefreshLineStatus();
    std::uint8_t ModemStatus();  // the modem status byte as it stands
    bool CarrierPresent();
    int TakeLineError();
    bool TakeLineBreak();
    std::uint32_t LineErrorWord() const { return lineError_.load(); }
    void SendLineBreak(std::int32_t ticks, bool pump);
    void SetFlagBits(std::uint32_t bits);
    void ClearFlagBits(std::uint32_t bits);
    std::uint32_t FlagBits();
    void SetRS485Mode(bool on);
    bool RS485Mode();

    // --- trace and dispatch log (dispatcher_trace.cpp) ---------------------------------------
    int StartTrace(std::uint32_t entries);
    void StopTrace();
    void ClearTrace();
    void PauseTrace();
    void ResumeTrace();
    int DumpTrace(const std::string& fileName, bool append, bool hex, bool allHex);
    void AddTraceEntry(char kind, std::uint8_t byte);
    int StartDispatchLog(std::uint32_t size);
    void StopDispatchLog();
    void ClearDispatchLog();
    void PauseDispatchLog();
    void ResumeDispatchLog();
    int DumpDispatchLog(const std::string& fileName, bool append, bool hex, bool allHex);
    void AddLogEntry(std::uint32_t type, std::uint32_t subtype, std::uint32_t value,
                     const void* data, std::uint32_t length);
    void SetDeviceNameText(const std::string& name);
    std::string DeviceNameText();
    bool Tracing();
    bool Logging();

    // --- state flags for the upper layers ----------------------------------------------------
    bool Dispatching() const { return dispatching_.load(); }
    bool ThreadsStarted() const { return threadsStarted_.load(); }
    bool ClosePending() const { return closePending_.load(); }
    bool KillThreads() const { return killThreads_.load(); }
    int ActiveThreads() const { return activeThreads_.load(); }
    bool IsOpen() const { return portOpen_.load(); }
    // True once the device vanished (hang-up), or a worker failed; see the header comment.
    bool DeviceLost() const { return deviceLost_.load(); }
    // True once a worker thread ended by an error since the port opened; WorkerFailure() is then
    // the text of the first such error, naming the port and the worker.
    bool WorkerFailed() const { return workerFailed_.load(); }
    std::string WorkerFailure();

    // --- the service pass (dispatcher thread) ----------------------------------------------
    // One pass after a device event or a wait of at most 50 ms; returns false when the pass
    // ended early because the port is closing.
    bool ServiceDevice();
    void ServiceTimers();
    // How long the dispatcher thread may wait for a device event before its next pass: `limit`
    // milliseconds, or less when an armed timer trigger expires sooner (at least 1).
    std::uint32_t PassWaitMs(std::uint32_t limit);
    bool DeliverTrigger(std::uint32_t message, std::uint32_t first, std::uint32_t low);

    // Gives up the rest of the calling thread's time slice (the device layer's idle call).
    int Idle() { return DeviceIdle(); }
    // Asks the device for driver queues of these sizes; false when it refuses.
    bool ResizeDeviceQueues(std::uint32_t inSize, std::uint32_t outSize) { return DeviceSetup(inSize, outSize); }
    // Whether anything waits for the modem lines to change (an armed modem status trigger).
    bool ModemWatchWanted();
    // Stores the priority boost of the workers; the device layer applies it where it can.
    virtual void ApplyThreadBoost(int boost);

    // The code and a readable text of the last failed DeviceOpen (the text names the device).
    int LastOpenError();
    std::string LastOpenErrorText();

    int ThreadBoost() const { return threadBoost_; }

    // Process-wide.
    static std::recursive_mutex& dispatcherListLock();
    static TApdBaseDispatcher* FindDispatcher(int handle);
    static int DispatcherCount();

protected:
    enum class TWorker { device, dispatcher, output };

    // --- device operations: the hooks a device layer fills in -----------------------------------
    virtual int DeviceEscape(int function) = 0;
    virtual int DevicePurge(bool input) = 0;
    // Reads and clears the device's error flags (line error bits) and fills the status record.
    virtual std::uint32_t DeviceStatus(TDeviceStatusRecord& status) = 0;
    virtual int DeviceGetState(TDeviceBlock& block) = 0;
    virtual int DeviceRead(std::uint8_t* buffer, std::uint32_t count) = 0;
    virtual int DeviceSetState(const TDeviceBlock& block) = 0;
    virtual int DeviceWrite(const std::uint8_t* data, std::uint32_t count) = 0;
    virtual bool DeviceSetup(std::uint32_t inSize, std::uint32_t outSize) = 0;
    virtual void ReleaseBuffers();
    virtual void StartThreads() = 0;
    virtual void StopThreads() = 0;
    // Returns a non-negative device handle, -1 (see LastOpenError) or ecOutOfMemory.
    virtual int DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) = 0;
    virtual int DeviceClose() = 0;
    virtual int DeviceIdle() = 0;
    // Line levels (msCts, msDsr, msRing, msDcd) as the device reports them now.
    virtual std::uint8_t DeviceModemLevels() = 0;
    virtual int DeviceBreak(bool on) = 0;
    // Bytes written to the device that it has not sent yet (its own queue, not the ring).
    virtual std::uint32_t DeviceOutputQueued() { return 0; }

    // Called by each worker as it leaves (see the device layer).
    void ThreadGone(TWorker worker);
    virtual void ForgetThread(TWorker worker) = 0;
    // Tells the device thread that the pass is done (device layer).
    virtual void ServiceDone() = 0;
    // The receive ring has room again after it was full (device layer may resume reading).
    virtual void ReceiveSpaceFreed() {}

    void SetLastOpenError(int code, std::string text);
    void MarkDeviceLost();
    // Records that `worker` ended by an error described by `text`. The first failure of an open
    // takes the line down, is posted to the attached windows (kWorkerFailed) and returns the
    // number of windows told; a later one changes nothing and returns -1.
    int RecordWorkerFailure(TWorker worker, std::string text);
    bool ReceiveRingIsFull();

    // Output ring access for the device layer's output thread (under outputLock).
    std::recursive_mutex& OutputLock() { return outputLock_; }
    std::recursive_mutex& StateLock() { return stateLock_; }

    // Shared state of the worker machinery.
    std::atomic<bool> killThreads_{false};
    std::atomic<bool> threadsStarted_{false};
    std::atomic<bool> closePending_{false};
    std::atomic<bool> releaseOnLastThread_{false};
    std::atomic<int> activeThreads_{0};
    std::atomic<std::uint32_t> eventMask_{0};
    // The line levels read once for the service pass under way (-1: none): each read is a
    // control transfer on a USB adapter, so a pass reads them at most once.
    std::atomic<int> passLevels_{-1};
    std::atomic<bool> ringEnded_{false};
    std::atomic<bool> deviceLost_{false};
    std::atomic<bool> workerFailed_{false};
    std::atomic<bool> portOpen_{false};
    int threadBoost_ = 0;

    // Output ring (outputLock).
    TOutputRing outRing_;
    void LetOutputLeave();  // ClosePort's bounded wait for the queued output
    // Wakes the waits for output to leave (the device layer: bytes went to the device, the ring
    // was emptied, the device went away).
    void OutputMoved();

    std::uint32_t inSize_ = 0;
    std::uint32_t outSize_ = 0;

private:
    struct WindowHandler {
        HWND window = 0;
        bool deleted = false;
    };
    struct ProcHandler {
        TApdNotifyProc proc = nullptr;
        bool deleted = false;
    };
    struct TraceState;
    struct LogState;

    // The steps of a trigger's delivery.
    template <typename Handlers, typename Deliver>
    bool DeliverToEach(Handlers& handlers, Deliver deliver);
    void EndDelivery();

    // The steps of OpenPort.
    void ResetOpenState();
    void AllocateRings(std::uint32_t outSize);
    void ApplyLineOptions(std::uint32_t options);

    int NewTriggerHandle();
    bool HandleInUse(int base) const;
    bool FillReceiveRing();
    // Reads up to `count` bytes from the device into `run` (the ring's free run) and commits them.
    std::uint32_t ReadIntoRing(std::span<std::uint8_t> run, std::uint32_t count);
    bool ScanReceived();
    bool ScanStatusTriggers();
    struct TOutputCounts {
        std::uint32_t free = 0;
        std::uint32_t used = 0;
    };
    // Whether an armed status trigger fires now; `count` is what its message carries.
    bool StatusTriggerFires(TStatusTrigger& trigger, const TOutputCounts& counts, std::uint32_t& count);
    // The modem line levels as the device reports them now (none once it is gone); no lock.
    std::uint8_t CurrentModemLevels();
    bool ScanTimerTriggers();
    void ClearStatusHits();
    int PeekLocked(std::uint32_t n) const;
    void ConsumeLocked(std::uint32_t count);
    std::uint32_t RefreshOutputCount();
    int ApplyBlock(TDeviceBlock& block);
    void DrainOutput();
    // The ring's pending bytes and those in the device's own queue.
    std::uint32_t QueuedOutput();
    // Waits `milliseconds`, or less when the device goes away first.
    void PauseUnlessLost(std::uint32_t milliseconds);
    void RemoveDeletedHandlers();
    void RecheckHandlerService();
    std::string StatusKindName(std::uint32_t kind) const;
    void TakeLineDown(std::uint32_t logSubtype, const std::string& text);

    TComponent* owner_;
    int handle_ = -1;

    mutable std::recursive_mutex stateLock_;
    mutable std::recursive_mutex inputLock_;
    mutable std::recursive_mutex outputLock_;

    // Receive ring (inputLock).
    TReceiveRing inRing_;
    bool inAvailMessage_ = false;
    std::uint32_t getCount_ = 0;
    std::uint32_t maxGetCount_ = 0;
    // Dispatcher thread only.
    std::uint32_t scanPos_ = 0;
    std::uint32_t notifyMark_ = 0;
    bool arrivedSinceNotify_ = false;  // inputLock

    // stateLock.
    std::uint32_t availLevel_ = 0;
    std::vector<TTimerTrigger> timerTriggers_;
    std::vector<TStatusTrigger> statusTriggers_;
    int nextHandle_ = 1;
    bool statusHit_ = false;
    std::vector<WindowHandler> windowHandlers_;
    std::vector<ProcHandler> procHandlers_;
    bool portHandlerInstalled_ = false;
    std::atomic<bool> handlerServiceNeeded_{false};
    std::atomic<bool> dispatching_{false};
    bool removalPending_ = false;
    void* userData_[3] = {nullptr, nullptr, nullptr};
    std::atomic<bool> outputSent_{false};
    std::atomic<std::uint32_t> lineError_{0};
    std::atomic<std::uint8_t> modemStatus_{0};
    TDeviceStatusRecord comStat_;
    TDeviceBlock block_;
    std::uint32_t lastBaud_ = 115200;
    bool dtrState_ = false;
    bool rtsState_ = false;
    bool dtrAuto_ = false;
    bool rtsAuto_ = false;
    bool rs485Mode_ = false;
    std::uint32_t flagBits_ = 0;
    int lastOpenError_ = 0;
    std::string lastOpenErrorText_;
    std::string workerFailure_;
    bool shutDown_ = false;

    // Waits for output to leave (drainMutex_ is a leaf lock).
    std::mutex drainMutex_;
    std::condition_variable outputMovedCondition_;
    std::uint64_t outputMoves_ = 0;

    // Recorders (recorderLock_ is a leaf lock).
    std::mutex recorderLock_;
    std::unique_ptr<TraceState> trace_;
    std::unique_ptr<LogState> log_;
    std::string deviceName_;
    std::uint32_t logTimeBase_ = 0;
};

// Process-wide helpers with the names the upper layers use.
inline std::recursive_mutex& dispatcherListLock() { return TApdBaseDispatcher::dispatcherListLock(); }
inline TApdBaseDispatcher* FindDispatcher(int handle) { return TApdBaseDispatcher::FindDispatcher(handle); }

// Legacy baud codes: 0xFEFF and 0xFF10..0xFF27 stand for rates; other values are returned as they are.
std::uint32_t BaudFromCode(std::uint32_t baud);

// The trace dump's text for entries (kind, byte) in order; exposed for tests of the format.
std::string FormatTraceEntries(const std::vector<std::pair<char, std::uint8_t>>& entries, bool hex,
                               bool allHex);

}  // namespace kavo
