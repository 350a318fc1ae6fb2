#include "serial/com_port.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

#include "serial/dispatcher.h"
#include "serial/native_dispatcher.h"

namespace kavo {

namespace {

TPortPromptHook& PromptHook() {
    static TPortPromptHook hook;
    return hook;
}

TExceptionDisplay& ExceptionDisplay() {
    static TExceptionDisplay display;
    return display;
}

// Marks are rounded to the nearest integer, halves to even.
std::uint16_t RoundMark(double value) { return static_cast<std::uint16_t>(std::nearbyint(value)); }

constexpr std::uint32_t kUseEventWordBit = 4;

// Sets ForceApply for a scope and puts the previous value back, also when a setter raises.
class ForceApplyScope {
public:
    explicit ForceApplyScope(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
    ~ForceApplyScope() { flag_ = saved_; }

private:
    bool& flag_;
    bool saved_;
};

// Like CheckError, with the trace or log file's name in the text, so that the reader of the error
// knows which file was not written.
void CheckDumpError(const TComponent* component, int code, const std::string& fileName) {
    if (code >= 0 || (component && component->IsLoading())) return;
    RaiseError(code, fileName + ": " + ErrorText(code));
}

}  // namespace

void SetPortPromptHook(TPortPromptHook hook) { PromptHook() = std::move(hook); }
bool PortPromptInstalled() { return static_cast<bool>(PromptHook()); }

void SetExceptionDisplay(TExceptionDisplay display) { ExceptionDisplay() = std::move(display); }

void ShowException(std::exception_ptr error) {
    if (!error) return;
    if (ExceptionDisplay()) {
        ExceptionDisplay()(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KavoDown: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "KavoDown: unknown error\n");
    }
}

// --- construction -------------------------------------------------------------------------------

TApdCustomComPort::TApdCustomComPort(TComponent* owner)
    : TApdBaseComponent(owner), savedTriggers_(std::make_unique<TriggerSnapshot>()) {}

TApdCustomComPort::~TApdCustomComPort() {
    if (linkState_ == lsOpen) {
        try {
            CloseLink();
        } catch (...) {
            // A destructor must not raise; the device is closed below regardless.
        }
    }
    // Destroyed while a close from inside a delivery was still pending: finish it here, or the
    // dispatcher and the window would outlive the port.
    if (linkState_ == lsClosing) {
        ManageNotifyWindow(false);
        FreeDispatcher();
        linkState_ = lsClosed;
        open_ = false;
    }
    while (!portUsers_.empty()) portUsers_.pop_back();
}

// --- streaming and copying ------------------------------------------------------------------------

void TApdCustomComPort::Loaded() {
    TApdBaseComponent::Loaded();
    if (IsDesigning()) return;
    if (openAfterLoad_) open_ = true;
    if (open_) {
        openAfterLoad_ = false;
        try {
            OpenLink();
        } catch (...) {
            open_ = false;
            ShowException(std::current_exception());
        }
    }
}

void TApdCustomComPort::Assign(const TApdCustomComPort& source) {
    if (&source == this) return;
    // Copying the settings over a port that is open would leave the device on the old ones with
    // Open reading False and no way to close it: close it first.
    if (linkState_ == lsOpen) SetOpen(false);

    portUsers_.clear();
    for (const auto& user : source.portUsers_) portUsers_.push_back(std::make_unique<PortUser>(*user));
    if (source.linkState_ == lsOpen && source.dispatcher_) {
        source.dispatcher_->SaveTriggers(*savedTriggers_);
        restoreOnOpen_ = true;
    }

    forceApply_ = source.forceApply_;
    deviceLayer_ = source.deviceLayer_;
    comNumber_ = source.comNumber_;
    baud_ = source.baud_;
    parity_ = source.parity_;
    dataBits_ = source.dataBits_;
    stopBits_ = source.stopBits_;
    inSize_ = source.inSize_;
    outSize_ = source.outSize_;
    autoOpen_ = source.autoOpen_;
    promptForPort_ = source.promptForPort_;
    rs485Mode_ = source.rs485Mode_;
    workerBoost_ = source.workerBoost_;
    dtr_ = source.dtr_;
    rts_ = source.rts_;
    hwFlowOptions_ = source.hwFlowOptions_;
    swFlowOptions_ = source.swFlowOptions_;
    xOnChar_ = source.xOnChar_;
    xOffChar_ = source.xOffChar_;
    bufferFull_ = source.bufferFull_;
    bufferResume_ = source.bufferResume_;
    tracing_ = source.tracing_;
    traceSize_ = source.traceSize_;
    traceName_ = source.traceName_;
    traceHex_ = source.traceHex_;
    traceAllHex_ = source.traceAllHex_;
    logging_ = source.logging_;
    logSize_ = source.logSize_;
    logName_ = source.logName_;
    logHex_ = source.logHex_;
    logAllHex_ = source.logAllHex_;
    availTriggerLevel_ = source.availTriggerLevel_;
    SetOnTrigger(source.onTrigger_);
    SetOnTriggerAvail(source.onTriggerAvail_);
    SetOnTriggerData(source.onTriggerData_);
    SetOnTriggerStatus(source.onTriggerStatus_);
    SetOnTriggerTimer(source.onTriggerTimer_);
    onPortOpen_ = source.onPortOpen_;
    onPortClose_ = source.onPortClose_;
    tapiMode_ = source.tapiMode_;
    open_ = false;
}

// --- Open and the link --------------------------------------------------------------------------

void TApdCustomComPort::SetOpen(bool value) {
    if (value == open_) return;
    if (IsDesigning() || IsLoading()) {
        open_ = value;
        if (value) openAfterLoad_ = true;
        return;
    }
    if (!value)
        CloseLink();
    else if (linkState_ == lsClosed)
        OpenLink();
    else
        reopenWhenClosed_ = true;
}

void TApdCustomComPort::EnsurePortNumber() {
    if (comNumber_ != 0) return;
    // Without a prompt (no user interface) a missing number fails as if prompting were off.
    if (!promptForPort_ || !PromptHook()) RaiseError(ecNoPortSelected, ErrorText(ecNoPortSelected));
    TPortPromptHook hook = PromptHook();
    std::optional<int> chosen = hook();
    if (!chosen) RaiseError(ecNoPortSelected, ErrorText(ecNoPortSelected));
    SetComNumber(static_cast<std::uint16_t>(*chosen));
}

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::CreateDispatcher() {
    if (dispatcherFactory_) return dispatcherFactory_(this);
    // Only the platform's native serial layer exists; the network and telephony layers do not.
    if (deviceLayer_ != dlWin32 || tapiMode_ == tmOn) RaiseError(ecNullApi, ErrorText(ecNullApi));
    return MakeNativeDispatcher(this);
}

int TApdCustomComPort::OpenDevice() {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(comNumber_));
    std::uint32_t options = 0;
    if (dtr_) options |= opDtrOn;
    if (rts_) options |= opRtsOn;
    if (hwFlowOptions_ & hwfUseDTR) options |= opDtrAuto;
    if (hwFlowOptions_ & hwfUseRTS) options |= opRtsAuto;
    int result = dispatcher_->OpenPort(path, static_cast<std::uint32_t>(baud_), parity_, dataBits_,
                                       stopBits_, inSize_, outSize_, options);
    if (result == ecAccessDenied) return ecAlreadyOpen;
    if (result == ecFileNotFound || result == ecPathNotFound) return ecBadId;
    return result;
}

void TApdCustomComPort::RaiseOpenError(int code) {
    // The device layer knows which device failed and why; keep the code's class and text and add
    // that, so the operator can act on it.
    std::string detail = dispatcher_ ? dispatcher_->LastOpenErrorText() : std::string();
    if (detail.empty()) RaiseError(code, ErrorText(code));
    std::string text = ErrorText(code);
    // The catch-all code's own text names another failure ("in use"): the system's text says it.
    if (text.empty() || code == ecHardware || (code <= -2 && code >= -162))
        text = detail;
    else
        text += " (" + detail + ")";
    RaiseError(code, text);
}

void TApdCustomComPort::OpenLink() {
    if (tapiMode_ != tmOn) EnsurePortNumber();
    dispatcher_ = CreateDispatcher();
    if (!dispatcher_) RaiseError(ecNullApi, ErrorText(ecNullApi));
    dispatcher_->SetDeviceNameText("COM" + std::to_string(comNumber_));

    try {
        int result = OpenDevice();
        if (result != 0) RaiseOpenError(result);

        linkState_ = lsOpen;
        SyncEventInterest();
        {
            ForceApplyScope force(forceApply_);
            SetTracing(tracing_);
            SetLogging(logging_);
            SetHWFlowOptions(hwFlowOptions_);
            SetSWFlowOptions(swFlowOptions_);
            SetXOnChar(xOnChar_);
            SetXOffChar(xOffChar_);
            SetAvailTriggerLevel(availTriggerLevel_);
            SetDTR(dtr_);
            SetRTS(rts_);
            SetUseEventWord(useEventWord_);
            SetRS485Mode(rs485Mode_);
            SetWorkerBoost(workerBoost_);
        }
        open_ = true;
        ManageNotifyWindow(true);
        if (restoreOnOpen_) {
            restoreOnOpen_ = false;
            dispatcher_->RestoreTriggers(*savedTriggers_);
        }
        NotifyPortOpened();
    } catch (...) {
        open_ = false;
        linkState_ = lsClosed;
        if (notifyWindow_) ManageNotifyWindow(false);
        FreeDispatcher();
        throw;
    }
}

void TApdCustomComPort::CloseLink() {
    if (linkState_ != lsOpen) return;
    // A trace that cannot be written keeps neither the log from its file nor the port open: the
    // first failure is raised once the port is closed.
    std::exception_ptr dumpError;
    try {
        SetTracing(tlDump);
    } catch (...) {
        dumpError = std::current_exception();
    }
    try {
        SetLogging(tlDump);
    } catch (...) {
        if (!dumpError) dumpError = std::current_exception();
    }
    linkState_ = lsClosing;
    NotifyPortClosing();
    dispatcher_->SaveTriggers(*savedTriggers_);
    restoreOnOpen_ = true;
    dispatcher_->ClosePort();
    if (dispatcher_->Dispatching()) {
        // Closed from inside a trigger delivery: the dispatcher thread is waiting for this very
        // handler, so the dispatcher may only go once the delivery and the threads have ended.
        PostMessage(notifyWindow_, kFinishClosingMessage, 0,
                    static_cast<LPARAM>(static_cast<std::uint32_t>(dispatcher_->Handle()) << 16));
        PumpOneMessage();
    } else {
        ManageNotifyWindow(false);
        FreeDispatcher();
        linkState_ = lsClosed;
        open_ = false;
    }
    NotifyPortClosed();
    if (dumpError) std::rethrow_exception(dumpError);
}

void TApdCustomComPort::FreeDispatcher() { dispatcher_.reset(); }

void TApdCustomComPort::FinishClosing(LPARAM lParam) {
    if (linkState_ != lsClosing || !dispatcher_) return;
    if (dispatcher_->ThreadsStarted()) {
        PostMessage(notifyWindow_, kFinishClosingMessage, 0, lParam);
        return;
    }
    ManageNotifyWindow(false);
    FreeDispatcher();
    linkState_ = lsClosed;
    open_ = false;
    if (reopenWhenClosed_) {
        reopenWhenClosed_ = false;
        OpenLink();
    }
}

// --- the hidden window ----------------------------------------------------------------------------

void TApdCustomComPort::ManageNotifyWindow(bool create) {
    if (create) {
        if (notifyWindow_) return;
        notifyWindow_ = CreateMessageWindow(&TApdCustomComPort::NotifyWindowProc);
        dispatcher_->AttachTriggerWindow(notifyWindow_);
    } else {
        if (!notifyWindow_) return;
        if (dispatcher_) dispatcher_->DetachTriggerWindow(notifyWindow_);
        DestroyMessageWindow(notifyWindow_);
        notifyWindow_ = 0;
    }
}

LRESULT TApdCustomComPort::NotifyWindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if ((msg < kTriggerAvail || msg > kTriggerStatus) && msg != kFinishClosingMessage &&
        msg != kWorkerFailed)
        return 0;
    int handle = static_cast<int>((static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF);
    auto findPort = [handle]() -> TApdCustomComPort* {
        TApdBaseDispatcher* dispatcher = FindDispatcher(handle);
        auto* port = dispatcher ? dynamic_cast<TApdCustomComPort*>(dispatcher->Owner()) : nullptr;
        return port && port->dispatcher_.get() == dispatcher ? port : nullptr;
    };
    if (msg == kWorkerFailed) {
        // Handled without the list lock: the error display may wait for the operator, and the
        // port is only ever destroyed on this thread.
        TApdCustomComPort* port;
        {
            std::lock_guard lock(dispatcherListLock());
            port = findPort();
        }
        if (port) port->HandleWorkerFailure();
        return 0;
    }
    // Held for the whole handling, so that no dispatcher is created or destroyed meanwhile.
    std::lock_guard lock(dispatcherListLock());
    TApdCustomComPort* port = findPort();
    if (!port) return 0;
    try {
        if (msg == kFinishClosingMessage)
            port->FinishClosing(lParam);
        else
            port->HandleTriggerMessage(msg, wParam, lParam);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return 0;
}

void TApdCustomComPort::HandleWorkerFailure() {
    TApdBaseDispatcher* failed = dispatcher_.get();
    if (linkState_ != lsOpen || !failed || !failed->WorkerFailed()) return;
    try {
        RaiseError(ecHardwareFailure, failed->WorkerFailure());
    } catch (...) {
        ShowException(std::current_exception());
    }
    // The display may have closed the port (an unattended run ends there), or opened it again.
    if (linkState_ != lsOpen || dispatcher_.get() != failed || !failed->WorkerFailed()) return;
    NotifyPortFailed();
}

std::string TApdCustomComPort::WorkerFailure() const {
    return linkState_ == lsOpen && dispatcher_ ? dispatcher_->WorkerFailure() : std::string();
}

void TApdCustomComPort::HandleTriggerMessage(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    auto first = static_cast<std::uint16_t>(wParam & 0xFFFF);
    auto low = static_cast<std::uint16_t>(static_cast<std::uint32_t>(lParam) & 0xFFFF);
    FireTrigger(static_cast<std::uint16_t>(msg), first, msg == kTriggerAvail ? first : low);
    switch (msg) {
    case kTriggerAvail:
        FireTriggerAvail(first);
        break;
    case kTriggerData:
        FireTriggerData(first);
        break;
    case kTriggerTimer:
        FireTriggerTimer(first);
        break;
    case kTriggerStatus:
        FireTriggerStatus(first);
        switch (first & 7) {
        case stModem:
            FireTriggerModemStatus();
            break;
        case stLine: {
            bool lineBreak = TakeLineBreak();
            int error = TakeLineError();
            FireTriggerLineError(static_cast<std::uint16_t>(error), lineBreak);
            break;
        }
        case stOutBuffFree:
            FireTriggerOutbuffFree();
            break;
        case stOutBuffUsed:
            FireTriggerOutbuffUsed();
            break;
        case stOutSent:
            FireTriggerOutSent();
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

// --- events ---------------------------------------------------------------------------------------

bool TApdCustomComPort::AnyTriggerEventAssigned() const {
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
           onTriggerOutbuffUsed_ || onTriggerOutSent_;
}

void TApdCustomComPort::SyncEventInterest() {
    if (linkState_ != lsOpen || !dispatcher_) return;
    dispatcher_->SetPortHandlerState(AnyTriggerEventAssigned() ? TPortHandlerState::install
                                                               : TPortHandlerState::remove);
}

void TApdCustomComPort::SetOnTrigger(TTriggerEvent e) {
    onTrigger_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
    onTriggerAvail_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent e) {
    onTriggerData_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e) {
    onTriggerStatus_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e) {
    onTriggerTimer_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
    onTriggerLineError_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerModemStatus(TNotifyEvent e) {
    onTriggerModemStatus_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent e) {
    onTriggerOutbuffFree_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent e) {
    onTriggerOutbuffUsed_ = std::move(e);
    SyncEventInterest();
}
void TApdCustomComPort::SetOnTriggerOutSent(TNotifyEvent e) {
    onTriggerOutSent_ = std::move(e);
    SyncEventInterest();
}

// Each copies the handler first: a handler may replace itself while it runs.
void TApdCustomComPort::FireTrigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data) {
    if (auto e = onTrigger_) e(this, msg, triggerHandle, data);
}
void TApdCustomComPort::FireTriggerAvail(std::uint16_t count) {
    if (auto e = onTriggerAvail_) e(this, count);
}
void TApdCustomComPort::FireTriggerData(std::uint16_t triggerHandle) {
    if (auto e = onTriggerData_) e(this, triggerHandle);
}
void TApdCustomComPort::FireTriggerStatus(std::uint16_t triggerHandle) {
    if (auto e = onTriggerStatus_) e(this, triggerHandle);
}
void TApdCustomComPort::FireTriggerTimer(std::uint16_t triggerHandle) {
    if (auto e = onTriggerTimer_) e(this, triggerHandle);
}
void TApdCustomComPort::FireTriggerLineError(std::uint16_t error, bool lineBreak) {
    if (auto e = onTriggerLineError_) e(this, error, lineBreak);
}
void TApdCustomComPort::FireTriggerModemStatus() {
    if (auto e = onTriggerModemStatus_) e(this);
}
void TApdCustomComPort::FireTriggerOutbuffFree() {
    if (auto e = onTriggerOutbuffFree_) e(this);
}
void TApdCustomComPort::FireTriggerOutbuffUsed() {
    if (auto e = onTriggerOutbuffUsed_) e(this);
}
void TApdCustomComPort::FireTriggerOutSent() {
    if (auto e = onTriggerOutSent_) e(this);
}
void TApdCustomComPort::FireWaitChar(char c) {
    if (auto e = onWaitChar_) e(this, c);
}

// --- users ----------------------------------------------------------------------------------------

void TApdCustomComPort::AddPortUser(TPortEventCallback callback, const void* user) {
    auto record = std::make_unique<PortUser>();
    record->eventCallback = std::move(callback);
    record->usesEventCallback = true;
    record->user = user;
    portUsers_.push_back(std::move(record));
}

void TApdCustomComPort::AddPortUserRecord(const PortUser& record) {
    portUsers_.push_back(std::make_unique<PortUser>(record));
}

void TApdCustomComPort::RemovePortUser(const void* user) {
    if (IsDestroying()) return;
    for (std::size_t i = portUsers_.size(); i-- > 0;)
        if (portUsers_[i]->user == user) portUsers_.erase(portUsers_.begin() + static_cast<long>(i));
}

// The notifications work on a copy of the list, so that a user may register or leave while it is
// being told.
void TApdCustomComPort::NotifyPortOpened() {
    std::vector<PortUser> users;
    for (const auto& u : portUsers_) users.push_back(*u);
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        if (it->window)
            SendMessage(it->window, kPortOpenedMessage, 0, 0);
        else if (it->usesEventCallback) {
            if (it->eventCallback) it->eventCallback(this, pueOpened);
        } else if (it->openCloseCallback)
            it->openCloseCallback(this, true);
    }
    if (auto e = onPortOpen_) e(this);
}

void TApdCustomComPort::NotifyPortClosing() {
    std::vector<PortUser> users;
    for (const auto& u : portUsers_) users.push_back(*u);
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        if (!it->usesEventCallback) continue;
        if (it->window)
            SendMessage(it->window, kPortClosingMessage, 0, 0);
        else if (it->eventCallback)
            it->eventCallback(this, pueClosing);
    }
}

void TApdCustomComPort::NotifyPortFailed() {
    std::vector<PortUser> users;
    for (const auto& u : portUsers_) users.push_back(*u);
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        if (!it->window && it->usesEventCallback && it->eventCallback) it->eventCallback(this, pueFailed);
    }
}

void TApdCustomComPort::NotifyPortClosed() {
    std::vector<PortUser> users;
    for (const auto& u : portUsers_) users.push_back(*u);
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        if (it->window)
            SendMessage(it->window, kPortClosedMessage, 0, 0);
        else if (it->usesEventCallback) {
            if (it->eventCallback) it->eventCallback(this, pueClosed);
        } else if (it->openCloseCallback)
            it->openCloseCallback(this, false);
    }
    if (auto e = onPortClose_) e(this);
}

// --- dispatcher access ------------------------------------------------------------------------------

TApdBaseDispatcher* TApdCustomComPort::CurrentDispatcher() {
    if (!dispatcher_ && !IsDesigning() && !IsLoading() && linkState_ != lsOpen && autoOpen_)
        SetOpen(true);
    return dispatcher_.get();
}

TApdBaseDispatcher* TApdCustomComPort::RequireDispatcher() {
    TApdBaseDispatcher* dispatcher = CurrentDispatcher();
    if (!dispatcher) RaiseError(ecCommNotOpen, ErrorText(ecCommNotOpen));
    return dispatcher;
}

// --- bytes ------------------------------------------------------------------------------------------

void TApdCustomComPort::SendString(const std::string& bytes) {
    if (linkState_ == lsClosing) return;
    TApdBaseDispatcher* d = RequireDispatcher();
    CheckError(this, d->SendBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
}

int TApdCustomComPort::SendBlock(const void* data, std::uint16_t length) {
    if (linkState_ == lsClosing) return 0;
    TApdBaseDispatcher* d = RequireDispatcher();
    CheckError(this, d->SendBlock(data, length));
    return 0;
}

void TApdCustomComPort::SendChar(char c) {
    if (linkState_ == lsClosing) return;
    TApdBaseDispatcher* d = RequireDispatcher();
    CheckError(this, d->SendChar(static_cast<std::uint8_t>(c)));
}

bool TApdCustomComPort::InputReady() {
    if (linkState_ == lsClosing) return false;
    return RequireDispatcher()->InputReady();
}

char TApdCustomComPort::ReadChar() {
    if (linkState_ == lsClosing) return 0;
    int result = RequireDispatcher()->ReadChar();
    if (result >= 0) return static_cast<char>(static_cast<std::uint8_t>(result));
    CheckError(this, result);
    return 0;
}

std::uint32_t TApdCustomComPort::OutputUsed() {
    if (linkState_ != lsOpen) return 0;
    TApdBaseDispatcher* d = CurrentDispatcher();
    return d ? d->OutputUsed() : 0;
}

std::uint32_t TApdCustomComPort::OutputFree() {
    if (linkState_ != lsOpen) return outSize_;
    TApdBaseDispatcher* d = CurrentDispatcher();
    return d ? d->OutputFree() : outSize_;
}

void TApdCustomComPort::FlushInput() {
    if (linkState_ == lsClosing) return;
    CheckError(this, RequireDispatcher()->FlushInput());
}

void TApdCustomComPort::FlushOutput() {
    if (linkState_ == lsClosing) return;
    CheckError(this, RequireDispatcher()->FlushOutput());
}

void TApdCustomComPort::SendLineBreak(std::uint16_t ticks, bool pumpMessages) {
    if (linkState_ == lsClosing) return;
    RequireDispatcher()->SendLineBreak(ticks, pumpMessages);
}

int TApdCustomComPort::TakeLineError() {
    if (linkState_ != lsOpen) return 0;
    TApdBaseDispatcher* d = CurrentDispatcher();
    return d ? CheckError(this, d->TakeLineError()) : 0;
}

bool TApdCustomComPort::TakeLineBreak() {
    if (linkState_ != lsOpen) return false;
    TApdBaseDispatcher* d = CurrentDispatcher();
    return d ? d->TakeLineBreak() : false;
}

void TApdCustomComPort::PortIdle() {
    if (linkState_ == lsClosing) return;
    CheckError(this, RequireDispatcher()->Idle());
}

// --- triggers ---------------------------------------------------------------------------------------

int TApdCustomComPort::CreateTimerTrigger() {
    if (linkState_ == lsClosing) return 0;
    return CheckError(this, RequireDispatcher()->CreateTimerTrigger());
}

int TApdCustomComPort::CreateStatusTrigger(std::uint16_t kind) {
    if (linkState_ == lsClosing) return 0;
    return CheckError(this, RequireDispatcher()->CreateStatusTrigger(kind));
}

void TApdCustomComPort::ArmTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate) {
    if (linkState_ == lsClosing) return;
    CheckError(this, RequireDispatcher()->ArmTimerTrigger(handle, ticks, activate));
}

void TApdCustomComPort::ArmStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate) {
    if (linkState_ == lsClosing) return;
    CheckError(this, RequireDispatcher()->ArmStatusTrigger(handle, value, activate));
}

void TApdCustomComPort::DeleteTrigger(std::uint16_t handle) {
    if (linkState_ != lsOpen) return;
    TApdBaseDispatcher* d = CurrentDispatcher();
    if (d) CheckError(this, d->DeleteTrigger(handle));
}

// --- property setters -------------------------------------------------------------------------------

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer value) {
    if (value == deviceLayer_) return;
    // The native serial layer is the only one available.
    if (linkState_ == lsClosed && value == dlWin32) deviceLayer_ = value;
}

void TApdCustomComPort::SetComNumber(std::uint16_t value) {
    if (value == comNumber_) return;
    if (linkState_ != lsOpen) {
        comNumber_ = value;
        return;
    }
    // Move to the new port, keeping the triggers and the recorder states.
    dispatcher_->SaveTriggers(*savedTriggers_);
    TTraceLogState tracing = tracing_;
    TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = value;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
    if (linkState_ == lsOpen && dispatcher_) dispatcher_->RestoreTriggers(*savedTriggers_);
}

void TApdCustomComPort::SetBaud(std::int32_t value) {
    if (value == baud_) return;
    baud_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetLineSettings(static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_));
}

void TApdCustomComPort::SetParity(TParity value) {
    if (value == parity_) return;
    parity_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetLineSettings(static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_));
}

void TApdCustomComPort::SetDataBits(std::uint16_t value) {
    if (value == dataBits_) return;
    dataBits_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetLineSettings(static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_));
}

void TApdCustomComPort::SetStopBits(std::uint16_t value) {
    if (value == stopBits_) return;
    stopBits_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetLineSettings(static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_));
}

void TApdCustomComPort::SetInSize(std::uint16_t value) {
    if (value == inSize_) return;
    inSize_ = value;
    if (linkState_ == lsOpen) dispatcher_->ResizeDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetOutSize(std::uint16_t value) {
    if (value == outSize_) return;
    outSize_ = value;
    if (linkState_ == lsOpen) dispatcher_->ResizeDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetDTR(bool value) {
    if (value == dtr_ && !forceApply_) return;
    if (linkState_ != lsOpen) {
        dtr_ = value;
        return;
    }
    // 1: DTR is under hardware flow control and stays as the driver keeps it.
    if (CheckError(this, dispatcher_->DriveDtr(value)) == 0) dtr_ = value;
}

void TApdCustomComPort::SetRTS(bool value) {
    if (value == rts_ && !forceApply_) return;
    if (linkState_ != lsOpen) {
        rts_ = value;
        return;
    }
    if (CheckError(this, dispatcher_->DriveRts(value)) == 0) rts_ = value;
}

void TApdCustomComPort::ApplyFlowMarks(double fullShare, double resumeShare) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = RoundMark(inSize_ * fullShare);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = RoundMark(inSize_ * resumeShare);
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptions value) {
    if (value == hwFlowOptions_ && !forceApply_) return;
    if (value != 0) ApplyFlowMarks(0.9, 0.1);
    hwFlowOptions_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, value));
    // RTS and CTS cannot serve flow control and drive an RS-485 transmitter at once.
    if (value & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
    if (value == swFlowOptions_ && !forceApply_) return;
    static constexpr std::uint32_t kWords[] = {0, sfReceive, sfTransmit, sfReceive | sfTransmit};
    std::uint32_t word = kWords[value & 3];
    if (word != 0) ApplyFlowMarks(0.75, 0.25);
    swFlowOptions_ = value;
    if (linkState_ == lsOpen) {
        if (word != 0)
            CheckError(this, dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, word));
        else
            CheckError(this, dispatcher_->ClearSoftwareFlow());
    }
}

void TApdCustomComPort::ReapplyFlowOptions() {
    ForceApplyScope force(forceApply_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
}

void TApdCustomComPort::SetBufferFull(std::uint16_t value) {
    if (value == bufferFull_ && !forceApply_) return;
    bufferFull_ = value > inSize_ ? RoundMark(value * 0.9) : value;
    ReapplyFlowOptions();
}

void TApdCustomComPort::SetBufferResume(std::uint16_t value) {
    if (value == bufferResume_ && !forceApply_) return;
    bufferResume_ = value > bufferFull_ ? RoundMark(bufferFull_ * 0.1) : value;
    ReapplyFlowOptions();
}

void TApdCustomComPort::SetXOnChar(char value) {
    if (value == xOnChar_ && !forceApply_) return;
    xOnChar_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetFlowChars(static_cast<std::uint8_t>(xOnChar_),
                                                   static_cast<std::uint8_t>(xOffChar_)));
}

void TApdCustomComPort::SetXOffChar(char value) {
    if (value == xOffChar_ && !forceApply_) return;
    xOffChar_ = value;
    if (linkState_ == lsOpen)
        CheckError(this, dispatcher_->SetFlowChars(static_cast<std::uint8_t>(xOnChar_),
                                                   static_cast<std::uint8_t>(xOffChar_)));
}

void TApdCustomComPort::SetTracing(TTraceLogState value) {
    if (value == tracing_ && !forceApply_) return;
    if (linkState_ != lsOpen) {
        tracing_ = value == tlOn ? tlOn : tlOff;
        return;
    }
    const TTraceLogState current = tracing_;
    const bool running = current == tlOn || current == tlPause;
    switch (value) {
    case tlOff:
        if (running) dispatcher_->StopTrace();
        tracing_ = tlOff;
        break;
    case tlOn:
        tracing_ = tlOn;
        if (current == tlPause)
            dispatcher_->ResumeTrace();
        else
            CheckError(this, dispatcher_->StartTrace(traceSize_));
        break;
    case tlDump:
    case tlAppend:
        if (!running) break;
        tracing_ = tlOff;
        dispatcher_->ResumeTrace();
        CheckDumpError(this, dispatcher_->DumpTrace(traceName_, value == tlAppend, traceHex_, traceAllHex_),
                       traceName_);
        break;
    case tlClear:
        if (running) dispatcher_->ClearTrace();
        break;
    case tlPause:
        if (current != tlOn) break;
        dispatcher_->PauseTrace();
        tracing_ = tlPause;
        break;
    }
}

void TApdCustomComPort::SetLogging(TTraceLogState value) {
    if (value == logging_ && !forceApply_) return;
    if (linkState_ != lsOpen) {
        logging_ = value == tlOn ? tlOn : tlOff;
        return;
    }
    const TTraceLogState current = logging_;
    const bool running = current == tlOn || current == tlPause;
    switch (value) {
    case tlOff:
        if (running) dispatcher_->StopDispatchLog();
        logging_ = tlOff;
        break;
    case tlOn:
        logging_ = tlOn;
        if (current == tlPause)
            dispatcher_->ResumeDispatchLog();
        else
            dispatcher_->StartDispatchLog(logSize_);
        break;
    case tlDump:
    case tlAppend:
        if (!running) break;
        logging_ = tlOff;
        dispatcher_->ResumeDispatchLog();
        CheckDumpError(this,
                       dispatcher_->DumpDispatchLog(logName_, value == tlAppend, logHex_, logAllHex_),
                       logName_);
        break;
    case tlClear:
        if (running) dispatcher_->ClearDispatchLog();
        break;
    case tlPause:
        if (current != tlOn) break;
        dispatcher_->PauseDispatchLog();
        logging_ = tlPause;
        break;
    }
}

void TApdCustomComPort::SetTraceSize(std::uint32_t value) {
    constexpr std::uint32_t kMaxTraceSize = 4000000;
    if (value > kMaxTraceSize) value = kMaxTraceSize;
    if (value == traceSize_) return;
    traceSize_ = value;
    if (linkState_ == lsOpen && (tracing_ == tlOn || tracing_ == tlPause)) {
        // Restart with the new capacity; a paused trace is left off.
        TTraceLogState old = tracing_;
        dispatcher_->StopTrace();
        tracing_ = tlOff;
        SetTracing(old);
    }
}

void TApdCustomComPort::SetLogSize(std::uint32_t value) {
    constexpr std::uint32_t kMaxLogSize = 16000000;
    if (value > kMaxLogSize) value = kMaxLogSize;
    if (value == logSize_) return;
    logSize_ = value;
    if (linkState_ == lsOpen && (logging_ == tlOn || logging_ == tlPause)) {
        TTraceLogState old = logging_;
        dispatcher_->StopDispatchLog();
        logging_ = tlOff;
        SetLogging(old);
    }
}

void TApdCustomComPort::SetUseMSRShadow(bool) {}

void TApdCustomComPort::SetUseEventWord(bool value) {
    if (value == useEventWord_ && !forceApply_) return;
    useEventWord_ = value;
    if (linkState_ != lsOpen) return;
    if (value)
        dispatcher_->SetFlagBits(kUseEventWordBit);
    else
        dispatcher_->ClearFlagBits(kUseEventWordBit);
}

void TApdCustomComPort::SetRS485Mode(bool value) {
    if (value == rs485Mode_ && !forceApply_) return;
    rs485Mode_ = value;
    if (linkState_ == lsOpen) dispatcher_->SetRS485Mode(value);
    if (value) {
        // The transmitter is switched with RTS, which therefore cannot serve flow control.
        SetHWFlowOptions(hwFlowOptions_ & static_cast<THWFlowOptions>(~(hwfUseRTS | hwfRequireCTS)));
        SetRTS(false);
    }
}

void TApdCustomComPort::SetAvailTriggerLevel(std::uint16_t value) {
    if (value == availTriggerLevel_ && !forceApply_) return;
    availTriggerLevel_ = value;
    if (linkState_ == lsOpen) dispatcher_->SetAvailTriggerLevel(value);
}

void TApdCustomComPort::SetWorkerBoost(std::uint8_t value) {
    if (value == workerBoost_ && !forceApply_) return;
    workerBoost_ = value;
    if (linkState_ == lsOpen) dispatcher_->ApplyThreadBoost(value);
}

// --- search -------------------------------------------------------------------------------------------

TApdCustomComPort* FindOwnerPort(TComponent* owner) {
    if (!owner) return nullptr;
    for (TComponent* component : owner->Components()) {
        if (auto* port = dynamic_cast<TApdCustomComPort*>(component)) return port;
        if (TApdCustomComPort* found = FindOwnerPort(component)) return found;
    }
    return nullptr;
}

}  // namespace kavo
