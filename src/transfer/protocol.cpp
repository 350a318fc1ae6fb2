#include "transfer/protocol.h"

#include <cstring>

#include "serial/errors.h"
#include "transfer/port_glue.h"
#include "transfer/xmodem.h"

namespace kavo {

namespace {

// Error codes travel in the low 16 bits of wParam.
std::int32_t CodeFrom(WPARAM wParam) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(wParam & 0xFFFF));
}

std::string Truncated(const std::string& text) {
    return text.size() > MaxPathLength ? text.substr(0, MaxPathLength) : text;
}

bool IsXmodemType(TProtocolType type) { return type >= ptXmodem && type <= ptXmodem1KG; }

template <class T>
T* FindAmong(TComponent* owner, bool (*usable)(T*)) {
    if (!owner) return nullptr;
    for (TComponent* component : owner->Components()) {
        if (auto* found = dynamic_cast<T*>(component); found && usable(found)) return found;
    }
    return nullptr;
}

bool StatusWithoutProtocol(TApdAbstractStatus* status) { return status->Protocol() == nullptr; }
bool LogWithoutProtocol(TApdProtocolLog* log) { return log->Protocol() == nullptr; }

}  // namespace

TApdCustomProtocol::TApdCustomProtocol(TComponent* owner) : TApdBaseComponent(owner) {
    CheckError(this, InitProtocolData(data_, nullptr, 0));
    SetHandshakeWait(182);
    SetHandshakeRetry(10);
    SetTransmitTimeout(1092);
    SetFinishWait(364);
    SetTurnDelay(0);
    SetOverhead(0);
    SetHonorDirectory(false);
    SetIncludeDirectory(false);
    SetRTSLowForWrite(false);
    SetAbortNoCarrier(false);
    SetBP2KTransmit(false);
    SetAsciiSuppressCtrlZ(false);
    SetUpcaseFileNames(true);
    data_->Options = 0;

    AssignPort(FindPortAmong(owner));
    SetStatusDisplay(FindAmong<TApdAbstractStatus>(owner, StatusWithoutProtocol));
    SetProtocolLog(FindAmong<TApdProtocolLog>(owner, LogWithoutProtocol));

    messageWindow_ = CreateMessageWindow(
        [this](std::uint32_t msg, WPARAM wParam, LPARAM lParam) { return WindowProc(msg, wParam, lParam); });
    if (messageWindow_ == 0) throw EInternal(ecInternal);
    SetMessageWindow(*data_, messageWindow_);
    protocolType_ = ptNoProtocol;
}

TApdCustomProtocol::~TApdCustomProtocol() {
    if (messageWindow_ != 0) DestroyMessageWindow(messageWindow_);
    messageWindow_ = 0;
    data_->MessageWindow = 0;
    {
        // A transfer still running must not reach this record once it is gone.
        std::lock_guard<std::recursive_mutex> lock(data_->Lock);
        if (data_->Started) StopProtocol(*data_);
    }
    if (portUserAdded_ && comPort_) RemoveProtocolPortUser(comPort_, this);
    portUserAdded_ = false;
    protocolType_ = ptNoProtocol;
    DoneProtocolData(data_);
}

// --- Settings ----------------------------------------------------------------------------------

void TApdCustomProtocol::SetComPort(TApdCustomComPort* port) {
    lookForPort_ = false;
    AssignPort(port);
}

void TApdCustomProtocol::AssignPort(TApdCustomComPort* port) {
    if (port == comPort_) return;
    if (portUserAdded_ && comPort_) {
        RemoveProtocolPortUser(comPort_, this);
        portUserAdded_ = false;
    }
    comPort_ = port;
    kavo::SetComPort(*data_, port);
    if (port) FreeNotification(PortAsComponent(port));
}

TProtocolType TApdCustomProtocol::ProtocolType() const {
    return IsXmodemType(protocolType_) ? data_->ProtocolType.Load() : protocolType_;
}

void TApdCustomProtocol::SetProtocolType(TProtocolType type) {
    if (type == protocolType_ && !IsLoading()) return;
    typeChosen_ = true;
    std::int32_t result = ecOK;
    switch (type) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
        result = InitXmodem(*data_, type != ptXmodem, type == ptXmodem1K, type == ptXmodem1KG);
        if (result == ecOK) data_->XYmodemBlockWait = xyModemBlockWait_;
        break;
    case ptNoProtocol:
        break;
    default:
        // The engines of the other protocols are not part of this program.
        result = ecBadProtocolFunction;
        break;
    }
    CheckError(this, result);
    protocolType_ = type;
}

void TApdCustomProtocol::SetDestinationDirectory(const std::string& directory) {
    data_->DestinationDirectory = Truncated(directory);
}

void TApdCustomProtocol::SetFileMask(const std::string& mask) { data_->SearchMask = Truncated(mask); }

void TApdCustomProtocol::SetBlockCheckMethod(TBlockCheckMethod method) {
    if (method == data_->BlockCheck || InProgress()) return;
    switch (protocolType_) {
    case ptXmodem:
        if (method == bcmCrc16) SetProtocolType(ptXmodemCRC);
        break;
    case ptXmodemCRC:
        if (method == bcmChecksum) SetProtocolType(ptXmodem);
        break;
    case ptZmodem:
        if (method == bcmCrc16 || method == bcmCrc32) data_->BlockCheck = method;
        break;
    case ptKermit:
        if (method == bcmChecksum || method == bcmChecksum2 || method == bcmCrcK) data_->BlockCheck = method;
        break;
    default:
        // XMODEM-1K takes the block check the receiver asks for in its handshake.
        break;
    }
}

void TApdCustomProtocol::SetHandshakeRetry(std::uint32_t value) {
    if (value != data_->HandshakeRetry) data_->HandshakeRetry = value;
}
void TApdCustomProtocol::SetHandshakeWait(std::uint32_t ticks) {
    if (ticks != data_->HandshakeWait) data_->HandshakeWait = ticks;
}
void TApdCustomProtocol::SetTransmitTimeout(std::uint32_t ticks) {
    if (ticks != data_->TransmitTimeout) data_->TransmitTimeout = ticks;
}
void TApdCustomProtocol::SetFinishWait(std::uint32_t ticks) {
    if (ticks != data_->FinishWait) data_->FinishWait = ticks;
}
void TApdCustomProtocol::SetTurnDelay(std::uint32_t ms) {
    if (ms != data_->TurnDelay) data_->TurnDelay = ms;
}
void TApdCustomProtocol::SetOverhead(std::uint32_t bytes) {
    if (bytes != data_->Overhead) data_->Overhead = bytes;
}
void TApdCustomProtocol::SetWriteFailAction(TWriteFailAction action) {
    if (action != data_->WriteFailAction) data_->WriteFailAction = action;
}
void TApdCustomProtocol::SetStatusInterval(std::uint32_t ticks) {
    if (ticks != data_->StatusInterval) data_->StatusInterval = ticks;
}

void TApdCustomProtocol::SetOptionFlag(std::uint32_t bit, bool on) {
    if (on) {
        data_->Options |= bit;
    } else {
        data_->Options &= ~bit;
    }
}

void TApdCustomProtocol::SetStatusDisplay(TApdAbstractStatus* display) {
    statusDisplay_ = display;
    if (display) {
        display->SetProtocol(this);
        FreeNotification(display);
    }
}

void TApdCustomProtocol::SetProtocolLog(TApdProtocolLog* log) {
    protocolLog_ = log;
    if (log) {
        log->SetProtocol(this);
        FreeNotification(log);
    }
}

void TApdCustomProtocol::SetFileName(const std::string& name) {
    if (data_->FileOpen) return;
    kavo::SetFileName(*data_, name);
}

bool TApdCustomProtocol::IsXYmodemType() const {
    return protocolType_ >= ptXmodem && protocolType_ <= ptYmodemG;
}

std::uint32_t TApdCustomProtocol::XYmodemBlockWait() const {
    return IsXYmodemType() ? data_->XYmodemBlockWait : xyModemBlockWait_;
}

void TApdCustomProtocol::SetXYmodemBlockWait(std::uint32_t ticks) {
    xyModemBlockWait_ = ticks;
    if (IsXYmodemType()) data_->XYmodemBlockWait = ticks;
}

void TApdCustomProtocol::SetSilenceLimit(std::uint32_t ticks) { data_->SilenceLimit = ticks; }

// --- Figures -----------------------------------------------------------------------------------

std::string TApdCustomProtocol::StatusMessage(std::int32_t code) { return ProtocolStatusText(code); }

std::int64_t TApdCustomProtocol::BytesTransferred() const { return kavo::BytesTransferred(*data_); }

std::int64_t TApdCustomProtocol::BytesRemaining() const { return kavo::BytesRemaining(*data_); }

std::int64_t TApdCustomProtocol::EstimateTransferSecs(std::int64_t bytes) const {
    return kavo::EstimateTransferSecs(*data_, bytes);
}

std::uint32_t TApdCustomProtocol::BlockLength() const {
    const std::uint32_t lastBlockSize = data_->LastBlockSize;
    if (InProgress() && lastBlockSize != 0) return lastBlockSize;
    return data_->BlockLength;
}

// --- Operations --------------------------------------------------------------------------------

void TApdCustomProtocol::BeginTransmitFile(const std::string& path) {
    // A transfer already running keeps its file.
    if (data_->Started) return;
    data_->LiteralFile = path;
    try {
        StartTransmit();
    } catch (...) {
        data_->LiteralFile.clear();
        throw;
    }
    data_->LiteralFile.clear();
}

void TApdCustomProtocol::BeginTransmit() {
    if (data_->Started) return;
    data_->LiteralFile.clear();
    StartTransmit();
}

void TApdCustomProtocol::StartTransmit() {
    if (protocolType_ == ptNoProtocol) return;
    if (!comPort_ && lookForPort_ && Owner()) AssignPort(FindPortAmong(Owner()));
    if (!comPort_) throw EPortNotAssigned(ecPortNotAssigned);
    kavo::SetComPort(*data_, comPort_);
    // A transfer of this component is still running: a second one is refused.
    if (data_->Started) return;
    if (!portUserAdded_) {
        AddProtocolPortUser(comPort_, this);
        portUserAdded_ = true;
    }
    data_->OwnedLine = MakePortLine(comPort_);
    data_->Line = data_->OwnedLine.get();
    if (lineSpeedPending_) {
        SetLineSpeed(*data_, PortBaud(comPort_));
        lineSpeedPending_ = false;
    }
    activeStateMachine_ = TransmitStateMachine;
    try {
        StartProtocol(*data_, ProtocolType(), TransmitStep, PrepareTransmit);
    } catch (...) {
        RemoveProtocolPortUser(comPort_, this);
        portUserAdded_ = false;
        throw;
    }
}

void TApdCustomProtocol::CancelTransfer() {
    if (!activeStateMachine_ || !InProgress()) return;
    // The running transfer's line finds its record. The port is not asked: a cancel from its
    // closing notification comes while it is closing, and asking it for its dispatcher then raises
    // "device not open" from the notification, although the cancel is all that is wanted.
    std::int32_t handle = 0;
    if (data_->Line && data_->Started) {
        handle = data_->Line->DispatcherHandle();
    } else if (comPort_ && comPort_->Open()) {
        handle = RequirePortDispatcherHandle(comPort_);
    } else {
        return;
    }
    activeStateMachine_(ProtocolCancelMsg, 0, static_cast<std::int32_t>(static_cast<std::uint32_t>(handle) << 16));
}

void TApdCustomProtocol::PortEvent(TApdCustomComPort* port, PortUserEvent event) {
    (void)port;
    // A transfer on a port that goes away is cancelled.
    if ((event == pueClosing || event == pueClosed) && InProgress()) CancelTransfer();
    // A transfer on a port that failed ends with the failure: one step on this thread finds the
    // line down. The steps' own thread, the port's dispatcher thread, has ended with the port.
    if (event == pueFailed && activeStateMachine_ && InProgress() && data_->Line && data_->Started) {
        const auto handle = static_cast<std::uint32_t>(data_->Line->DispatcherHandle());
        activeStateMachine_(kTriggerAvail, 0, static_cast<std::int32_t>(handle << 16));
    }
}

void TApdCustomProtocol::Assign(const TApdCustomProtocol& source) {
    if (&source == this) return;
    auto& other = const_cast<TApdCustomProtocol&>(source);
    const TProtocolType ownType = protocolType_;
    const TProtocolType sourceType = other.protocolType_;
    SetProtocolType(ptNoProtocol);
    other.SetProtocolType(ptNoProtocol);

    ProtocolData& to = *data_;
    const ProtocolData& from = *other.data_;
    {
        std::lock_guard<std::recursive_mutex> lock(to.Lock);
        to.BlockCheck = from.BlockCheck;
        to.HandshakeRetry = from.HandshakeRetry;
        to.HandshakeWait = from.HandshakeWait;
        to.BlockLength = from.BlockLength;
        to.Options = from.Options;
        to.TransmitTimeout = from.TransmitTimeout;
        to.FinishWait = from.FinishWait;
        to.CharsPerSecond = from.CharsPerSecond;
        to.Overhead = from.Overhead;
        to.TurnDelay = from.TurnDelay;
        to.StatusInterval = from.StatusInterval;
        to.WriteFailAction = from.WriteFailAction;
        to.UpcaseFileNames = from.UpcaseFileNames;
        to.PathName = from.PathName;
        to.SearchMask = from.SearchMask;
        to.DestinationDirectory = from.DestinationDirectory;
        to.UseCrc = from.UseCrc;
        to.Use1K = from.Use1K;
        to.UseG = from.UseG;
        to.MaxBlockErrors = from.MaxBlockErrors;
        to.XYmodemBlockWait = from.XYmodemBlockWait;
        to.StartChar = from.StartChar;
        to.SilenceLimit = from.SilenceLimit;
        to.StartQuietTicks = from.StartQuietTicks;
    }
    SetComPort(other.comPort_);
    statusDisplay_ = other.statusDisplay_;
    protocolLog_ = other.protocolLog_;
    lineSpeedPending_ = other.lineSpeedPending_;
    xyModemBlockWait_ = other.xyModemBlockWait_;
    zmodemOptionOverride_ = other.zmodemOptionOverride_;
    zmodemSkipNoFile_ = other.zmodemSkipNoFile_;
    zmodemFileOption_ = other.zmodemFileOption_;
    zmodemRecover_ = other.zmodemRecover_;
    zmodem8K_ = other.zmodem8K_;
    zmodemFinishRetry_ = other.zmodemFinishRetry_;
    kermitMaxLen_ = other.kermitMaxLen_;
    kermitMaxWindows_ = other.kermitMaxWindows_;
    kermitSWCTurnDelay_ = other.kermitSWCTurnDelay_;
    kermitTimeoutSecs_ = other.kermitTimeoutSecs_;
    kermitPadCharacter_ = other.kermitPadCharacter_;
    kermitPadCount_ = other.kermitPadCount_;
    kermitTerminator_ = other.kermitTerminator_;
    kermitCtlPrefix_ = other.kermitCtlPrefix_;
    kermitHighbitPrefix_ = other.kermitHighbitPrefix_;
    kermitRepeatPrefix_ = other.kermitRepeatPrefix_;
    asciiCharDelay_ = other.asciiCharDelay_;
    asciiLineDelay_ = other.asciiLineDelay_;
    asciiEOLChar_ = other.asciiEOLChar_;
    asciiCRTranslation_ = other.asciiCRTranslation_;
    asciiLFTranslation_ = other.asciiLFTranslation_;
    asciiEOFTimeout_ = other.asciiEOFTimeout_;
    onProtocolStatus_ = other.onProtocolStatus_;
    onProtocolFinish_ = other.onProtocolFinish_;
    onProtocolError_ = other.onProtocolError_;
    onProtocolLog_ = other.onProtocolLog_;
    onProtocolNextFile_ = other.onProtocolNextFile_;
    onProtocolAccept_ = other.onProtocolAccept_;
    onProtocolResume_ = other.onProtocolResume_;

    other.SetProtocolType(sourceType);
    SetProtocolType(ownType);
}

void TApdCustomProtocol::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (!component || component == this) return;
    if (operation == TOperation::opRemove) {
        // The component is being destroyed: compare addresses, its class is no longer known.
        if (comPort_ && component == PortAsComponent(comPort_)) {
            portUserAdded_ = false;  // the port frees its users itself
            comPort_ = nullptr;
            kavo::SetComPort(*data_, nullptr);
            lookForPort_ = true;
        }
        if (component == statusDisplay_) statusDisplay_ = nullptr;
        if (component == protocolLog_) protocolLog_ = nullptr;
        return;
    }
    if (!comPort_) {
        if (TApdCustomComPort* port = AsComPort(component)) AssignPort(port);
    }
    if (!statusDisplay_) {
        auto* status = dynamic_cast<TApdAbstractStatus*>(component);
        if (status && status->Protocol() == nullptr) SetStatusDisplay(status);
    }
    if (!protocolLog_) {
        auto* log = dynamic_cast<TApdProtocolLog*>(component);
        if (log && log->Protocol() == nullptr) SetProtocolLog(log);
    }
}

// --- The hidden window ---------------------------------------------------------------------------

LRESULT TApdCustomProtocol::WindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case ProtocolStatusMsg:
        DoStatus(static_cast<std::uint32_t>(wParam & 0xFFFF));
        return 0;
    case ProtocolLogMsg:
        DoLog(static_cast<std::uint32_t>(wParam & 0xFFFF));
        return 0;
    case ProtocolNextFileMsg:
        return DoNextFile(reinterpret_cast<char*>(lParam));
    case ProtocolAcceptFileMsg:
        return DoAccept(reinterpret_cast<char*>(lParam));
    case ProtocolFinishMsg:
        DoFinish(CodeFrom(wParam));
        return 0;
    case ProtocolResumeMsg:
        return DoResume(static_cast<TWriteFailAction>(wParam));
    case ProtocolErrorMsg:
        DoError(CodeFrom(wParam));
        return 0;
    default:
        return 0;
    }
}

void TApdCustomProtocol::DoStatus(std::uint32_t options) {
    if (statusDisplay_) {
        statusDisplay_->UpdateDisplay((options & StatusOptionFirst) != 0, (options & StatusOptionLast) != 0);
    }
    if (onProtocolStatus_) onProtocolStatus_(this, static_cast<std::uint16_t>(options));
}

void TApdCustomProtocol::DoLog(std::uint32_t log) {
    if (protocolLog_) protocolLog_->UpdateLog(log);
    if (onProtocolLog_) onProtocolLog_(this, static_cast<std::uint16_t>(log));
}

std::int32_t TApdCustomProtocol::DoNextFile(char* nameBuffer) {
    std::string fName;
    if (onProtocolNextFile_) {
        onProtocolNextFile_(this, fName);
    } else if (!NextMatchingFile(*data_, fName)) {
        fName.clear();
    }
    fName = Truncated(fName);
    if (fName.empty()) return 0;
    if (nameBuffer) std::memcpy(nameBuffer, fName.c_str(), fName.size() + 1);
    return 1;
}

std::int32_t TApdCustomProtocol::DoAccept(char* nameBuffer) {
    bool accept = true;
    std::string fName = nameBuffer ? std::string(nameBuffer) : std::string();
    if (onProtocolAccept_) onProtocolAccept_(this, accept, fName);
    if (accept && !FileName().empty() && nameBuffer) {
        fName = Truncated(fName);
        std::memcpy(nameBuffer, fName.c_str(), fName.size() + 1);
    }
    return accept ? 1 : 0;
}

void TApdCustomProtocol::DoFinish(std::int32_t errorCode) {
    if (comPort_ && portUserAdded_) {
        RemoveProtocolPortUser(comPort_, this);
        portUserAdded_ = false;
    }
    if (onProtocolFinish_) onProtocolFinish_(this, errorCode);
}

std::int32_t TApdCustomProtocol::DoResume(TWriteFailAction action) {
    if (onProtocolResume_) onProtocolResume_(this, action);
    return action;
}

void TApdCustomProtocol::DoError(std::int32_t errorCode) {
    if (onProtocolError_) onProtocolError_(this, errorCode);
}

}  // namespace kavo
