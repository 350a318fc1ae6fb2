// The serial port component: the one object through which the rest of the tool uses a serial port.
//
// TApdComPort holds the line settings as properties, opens and closes the port on request, owns
// the dispatcher while the port is open, and turns the dispatcher's trigger messages into its
// OnTrigger... events on the user-interface thread. Every negative result of the layer below goes
// through CheckError, so callers see exceptions (errors.h), never result codes. Operations on a
// port that is closing do nothing and return 0 or false.
//
// Trigger messages reach the port through a hidden message window (platform/message_queue.h) that
// the dispatcher thread sends to; the window's handler runs on the thread that opened the port,
// holding dispatcherListLock, and fires the events. A handler may close the port: the close then
// completes after the delivery, once the dispatcher's worker threads have ended (a posted "finish
// closing" message, re-posted until then).
//
// Registered users (the transfer protocol) hear when the port has opened, starts closing and has
// closed (AddPortUser), and when it failed.
//
// A worker thread of the dispatcher that ends by an error fails the port (see dispatcher.h): the
// port hears of it on its own thread, shows the error (the worker and the error's text, through
// ShowException) and then tells its users (pueFailed), so that a transfer ends with an error at
// once. The port stays open, down, until it is closed; closing it and opening it again work.
//
// Thread safety: every operation belongs to the user-interface thread (the thread that opens the
// port); the component has no lock of its own. The dispatcher it hands out (Dispatcher()) may be
// used from any thread under that class's own rules.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"

namespace kavo {

class TApdCustomComPort;

enum TDeviceLayer { dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
// Hardware flow options; a set of them is an OR of these bits (the dispatcher's option word).
enum THWFlowOption : std::uint8_t {
    hwfUseDTR = 0x01,
    hwfUseRTS = 0x02,
    hwfRequireDSR = 0x04,
    hwfRequireCTS = 0x08,
};
using THWFlowOptions = std::uint8_t;
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TApdLinkState { lsClosed = 0, lsClosing = 1, lsOpen = 2 };
// pueFailed: a worker of the open port ended by an error; nothing reaches the device any more.
enum PortUserEvent { pueOpened = 0, pueClosing = 1, pueClosed = 2, pueFailed = 3 };

// Messages of the port's hidden window and of user windows.
constexpr std::uint32_t kPortOpenedMessage = 0x7E08;
constexpr std::uint32_t kPortClosedMessage = 0x7E09;
// One number, two meanings by the receiver: sent to user windows, it says the port is closing;
// posted to the port's own window, it finishes a close that began inside a delivery.
constexpr std::uint32_t kPortClosingMessage = 0x7E0A;
constexpr std::uint32_t kFinishClosingMessage = kPortClosingMessage;

using TNotifyEvent = std::function<void(TComponent* sender)>;
using TTriggerEvent = std::function<void(TApdCustomComPort* cp, std::uint16_t msg,
                                         std::uint16_t triggerHandle, std::uint16_t data)>;
using TTriggerAvailEvent = std::function<void(TApdCustomComPort* cp, std::uint16_t count)>;
using TTriggerDataEvent = std::function<void(TApdCustomComPort* cp, std::uint16_t triggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent =
    std::function<void(TApdCustomComPort* cp, std::uint16_t error, bool lineBreak)>;
using TPortEventCallback = std::function<void(TApdCustomComPort* cp, PortUserEvent event)>;
using TPortOpenCloseCallback = std::function<void(TApdCustomComPort* cp, bool opening)>;
using TDispatcherFactory = std::function<std::unique_ptr<TApdBaseDispatcher>(TApdCustomComPort* port)>;

// One registered user of the port.
struct PortUser {
    HWND window = 0;                          // non-zero: the user gets window messages
    TPortOpenCloseCallback openCloseCallback;  // used when window is 0 and !usesEventCallback
    TPortEventCallback eventCallback;          // used when window is 0 and usesEventCallback
    bool usesEventCallback = false;
    const void* user = nullptr;  // who registered; RemovePortUser matches on it
};

// The prompt that asks for a port number when the port opens with ComNumber 0. It returns the
// chosen number, or nothing when the operator cancelled. The Qt prompt installs itself here
// (InstallPortPrompt in port_prompt.h); without a hook, ComNumber 0 fails as with PromptForPort
// False.
using TPortPromptHook = std::function<std::optional<int>()>;
void SetPortPromptHook(TPortPromptHook hook);
bool PortPromptInstalled();

// Where exceptions go that a component must not let through (a failed open after streaming in, an
// event handler that raised inside a trigger delivery, a worker thread of the port that failed). The application installs its error display;
// without one, the text goes to standard error.
using TExceptionDisplay = std::function<void(std::exception_ptr error)>;
void SetExceptionDisplay(TExceptionDisplay display);
void ShowException(std::exception_ptr error);

// Adds the Version property to the component base.
class TApdBaseComponent : public TComponent {
public:
    using TComponent::TComponent;
    std::string Version() const { return "v4.06"; }
    void SetVersion(const std::string&) {}  // read-only; writing is ignored
};

class TApdCustomComPort : public TApdBaseComponent {
public:
    // The longest trace or log file name kept (the system's PATH_MAX less its terminating zero).
    static constexpr std::size_t kMaxFileName = 4095;

    explicit TApdCustomComPort(TComponent* owner = nullptr);
    ~TApdCustomComPort() override;

    void Assign(const TApdCustomComPort& source);
    void Loaded() override;

    // --- properties -----------------------------------------------------------------------
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer value);
    std::uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(std::uint16_t value);
    std::int32_t Baud() const { return baud_; }
    void SetBaud(std::int32_t value);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool value) { promptForPort_ = value; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity value);
    std::uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(std::uint16_t value);
    std::uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(std::uint16_t value);
    std::uint16_t InSize() const { return inSize_; }
    void SetInSize(std::uint16_t value);
    std::uint16_t OutSize() const { return outSize_; }
    void SetOutSize(std::uint16_t value);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool value) { autoOpen_ = value; }
    bool Open() const { return open_; }
    void SetOpen(bool value);
    bool DTR() const { return dtr_; }
    void SetDTR(bool value);
    bool RTS() const { return rts_; }
    void SetRTS(bool value);
    THWFlowOptions HWFlowOptions() const { return hwFlowOptions_; }
    void SetHWFlowOptions(THWFlowOptions value);
    TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
    void SetSWFlowOptions(TSWFlowOptions value);
    char XOnChar() const { return xOnChar_; }
    void SetXOnChar(char value);
    char XOffChar() const { return xOffChar_; }
    void SetXOffChar(char value);
    std::uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(std::uint16_t value);
    std::uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(std::uint16_t value);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState value);
    std::uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(std::uint32_t value);
    const std::string& TraceName() const { return traceName_; }
    void SetTraceName(const std::string& value) { traceName_ = value.substr(0, kMaxFileName); }
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool value) { traceHex_ = value; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool value) { traceAllHex_ = value; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState value);
    std::uint32_t LogSize() const { return logSize_; }
    void SetLogSize(std::uint32_t value);
    const std::string& LogName() const { return logName_; }
    void SetLogName(const std::string& value) { logName_ = value.substr(0, kMaxFileName); }
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool value) { logHex_ = value; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool value) { logAllHex_ = value; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    virtual void SetUseMSRShadow(bool value);  // does nothing: the shadow is always used
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool value);
    std::uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(std::uint16_t value) { commNotificationLevel_ = value; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool value);

    // --- events -----------------------------------------------------------------------------
    const TNotifyEvent& OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(TNotifyEvent e) { onPortClose_ = std::move(e); }
    const TNotifyEvent& OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(TNotifyEvent e) { onPortOpen_ = std::move(e); }
    const TTriggerEvent& OnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent e);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerDataEvent e);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerStatusEvent e);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerTimerEvent e);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    const TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TNotifyEvent e);
    // The unpublished one-argument event; fired by FireWaitChar, which nothing here calls.
    const std::function<void(TApdCustomComPort* cp, char c)>& OnWaitChar() const { return onWaitChar_; }
    void SetOnWaitChar(std::function<void(TApdCustomComPort* cp, char c)> e) { onWaitChar_ = std::move(e); }

    // --- unpublished state --------------------------------------------------------------------
    TApdLinkState LinkState() const { return linkState_; }
    std::uint16_t AvailTriggerLevel() const { return availTriggerLevel_; }
    void SetAvailTriggerLevel(std::uint16_t value);
    std::uint8_t WorkerBoost() const { return workerBoost_; }
    void SetWorkerBoost(std::uint8_t value);
    bool ForceApply() const { return forceApply_; }
    void SetForceApply(bool value) { forceApply_ = value; }
    HWND NotifyWindow() const { return notifyWindow_; }
    const std::vector<std::unique_ptr<PortUser>>& PortUsers() const { return portUsers_; }
    void SetDispatcherFactory(TDispatcherFactory factory) { dispatcherFactory_ = std::move(factory); }

    // --- dispatcher access ---------------------------------------------------------------------
    // The owned dispatcher as it is: nullptr while the port is closed. Never opens the port.
    TApdBaseDispatcher* Dispatcher() const { return dispatcher_.get(); }
    // Opens the port first when it is closed and AutoOpen is set; may return nullptr.
    TApdBaseDispatcher* CurrentDispatcher();
    // CurrentDispatcher, raising ECommNotOpen when there is none.
    TApdBaseDispatcher* RequireDispatcher();

    // --- bytes ----------------------------------------------------------------------------------
    void SendString(const std::string& bytes);
    int SendBlock(const void* data, std::uint16_t length);
    void SendChar(char c);
    bool InputReady();
    char ReadChar();
    std::uint32_t OutputUsed();
    std::uint32_t OutputFree();
    void FlushInput();
    void FlushOutput();
    void SendLineBreak(std::uint16_t ticks, bool pumpMessages);
    int TakeLineError();
    bool TakeLineBreak();

    // --- triggers ---------------------------------------------------------------------------------
    int CreateTimerTrigger();
    int CreateStatusTrigger(std::uint16_t kind);
    void ArmTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);
    void ArmStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate);
    void DeleteTrigger(std::uint16_t handle);

    // --- users -------------------------------------------------------------------------------------
    // Registers `user` for pueOpened/pueClosing/pueClosed.
    void AddPortUser(TPortEventCallback callback, const void* user);
    // Adds a prepared record (a window user or an open/close callback user).
    void AddPortUserRecord(const PortUser& record);
    // Removes every record that `user` registered.
    void RemovePortUser(const void* user);

    // --- virtual operations ------------------------------------------------------------------------
    virtual std::unique_ptr<TApdBaseDispatcher> CreateDispatcher();
    virtual void Reserved() {}
    virtual int OpenDevice();
    virtual void ManageNotifyWindow(bool create);
    virtual void EnsurePortNumber();
    virtual void FireTrigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data);
    virtual void FireTriggerAvail(std::uint16_t count);
    virtual void FireTriggerData(std::uint16_t triggerHandle);
    virtual void FireTriggerStatus(std::uint16_t triggerHandle);
    virtual void FireTriggerTimer(std::uint16_t triggerHandle);
    virtual void SyncEventInterest();
    virtual void FireTriggerLineError(std::uint16_t error, bool lineBreak);
    virtual void FireTriggerModemStatus();
    virtual void FireTriggerOutbuffFree();
    virtual void FireTriggerOutbuffUsed();
    virtual void FireTriggerOutSent();
    virtual void FireWaitChar(char c);
    virtual void CloseLink();
    virtual void PortIdle();
    virtual void OpenLink();
    virtual void NotifyPortOpened();
    virtual void NotifyPortClosed();
    virtual void NotifyPortClosing();
    virtual void NotifyPortFailed();

    // The text of the worker failure that brought the open port down, empty while it works.
    std::string WorkerFailure() const;

private:
    static LRESULT NotifyWindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    void HandleTriggerMessage(std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    void HandleWorkerFailure();
    void FinishClosing(LPARAM lParam);
    void FreeDispatcher();
    void ApplyFlowMarks(double fullShare, double resumeShare);
    void ReapplyFlowOptions();
    bool AnyTriggerEventAssigned() const;
    [[noreturn]] void RaiseOpenError(int code);

    std::vector<std::unique_ptr<PortUser>> portUsers_;

    TDeviceLayer deviceLayer_ = dlWin32;
    std::uint16_t comNumber_ = 0;
    std::int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    std::uint16_t dataBits_ = 8;
    std::uint16_t stopBits_ = 1;
    std::uint16_t inSize_ = 4096;
    std::uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptions hwFlowOptions_ = 0;
    TSWFlowOptions swFlowOptions_ = swfNone;
    char xOnChar_ = 0x11;
    char xOffChar_ = 0x13;
    std::uint16_t bufferFull_ = 0;
    std::uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    std::uint32_t traceSize_ = 10000;
    std::string traceName_ = "TEVO.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    std::uint32_t logSize_ = 10000;
    std::string logName_ = "TEVO.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    std::uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;

    TApdLinkState linkState_ = lsClosed;
    std::unique_ptr<TApdBaseDispatcher> dispatcher_;
    std::uint16_t availTriggerLevel_ = 1;
    std::uint8_t workerBoost_ = 0;
    bool forceApply_ = false;
    bool openAfterLoad_ = false;
    bool reopenWhenClosed_ = false;
    bool restoreOnOpen_ = false;
    std::unique_ptr<TriggerSnapshot> savedTriggers_;
    HWND notifyWindow_ = 0;
    TDispatcherFactory dispatcherFactory_;

    TNotifyEvent onPortClose_;
    TNotifyEvent onPortOpen_;
    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerDataEvent onTriggerData_;
    TTriggerStatusEvent onTriggerStatus_;
    TTriggerTimerEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerModemStatus_;
    TNotifyEvent onTriggerOutbuffFree_;
    TNotifyEvent onTriggerOutbuffUsed_;
    TNotifyEvent onTriggerOutSent_;
    std::function<void(TApdCustomComPort* cp, char c)> onWaitChar_;
};

// The component as the main window places it; it adds no behaviour.
class TApdComPort : public TApdCustomComPort {
public:
    using TApdCustomComPort::TApdCustomComPort;
};

// The first serial port among the owner's components, searching depth-first; nullptr if none.
TApdCustomComPort* FindOwnerPort(TComponent* owner);

}  // namespace kavo
