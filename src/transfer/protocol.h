// The transfer protocol component: what the main window uses to send a file over its serial port.
//
// TApdCustomProtocol holds the transfer settings, owns the engine's ProtocolData record, selects
// the engine for its ProtocolType, starts a transmission on its port (BeginTransmit) and cancels it
// (CancelTransfer). The engine runs on the port's dispatcher thread and reports through a hidden
// message window owned by the component, so every event of this class (OnProtocolStatus,
// OnProtocolFinish, OnProtocolError, ...) and every status-display update runs on the thread that
// created the component, the user-interface thread.
//
// A transfer: BeginTransmit returns at once; then come a first status report, regular ones at most
// every StatusInterval ticks, a last one, possibly an error event, and finally the finish event
// with the error code (0 for success). After the finish the component is idle again.
//
// Thread safety: create, use and destroy the component on one thread, the one that runs its
// message queue. The figure getters may be called while a transfer runs (the status window does).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/com_port.h"
#include "transfer/abstract_status.h"
#include "transfer/protocol_engine.h"

namespace kavo {

class TApdCustomComPort;
class TApdCustomProtocol;

// ZMODEM file management option (kept for the settings of that protocol; not used here).
enum TZmodemFileOptions {
    zfoNoOption = 0,
    zfoWriteNewerLonger,
    zfoWriteCrc,
    zfoWriteAppend,
    zfoWriteClobber,
    zfoWriteNewer,
    zfoWriteDifferent,
    zfoWriteProtect,
};

// A protocol log: told of every log event of the transfer. This system assigns none.
class TApdProtocolLog : public TComponent {
public:
    explicit TApdProtocolLog(TComponent* owner = nullptr) : TComponent(owner) {}
    TApdCustomProtocol* Protocol() const { return protocol_; }
    void SetProtocol(TApdCustomProtocol* protocol) { protocol_ = protocol; }
    virtual void UpdateLog(std::uint32_t log) = 0;

private:
    TApdCustomProtocol* protocol_ = nullptr;
};

using TProtocolStatusEvent = std::function<void(TApdCustomProtocol* cp, std::uint16_t options)>;
using TProtocolFinishEvent = std::function<void(TApdCustomProtocol* cp, std::int32_t errorCode)>;
using TProtocolErrorEvent = std::function<void(TApdCustomProtocol* cp, std::int32_t errorCode)>;
using TProtocolLogEvent = std::function<void(TApdCustomProtocol* cp, std::uint16_t log)>;
using TProtocolNextFileEvent = std::function<void(TApdCustomProtocol* cp, std::string& fName)>;
using TProtocolAcceptEvent =
    std::function<void(TApdCustomProtocol* cp, bool& accept, std::string& fName)>;
using TProtocolResumeEvent = std::function<void(TApdCustomProtocol* cp, TWriteFailAction& resume)>;

class TApdCustomProtocol : public TApdBaseComponent {
public:
    explicit TApdCustomProtocol(TComponent* owner = nullptr);
    ~TApdCustomProtocol() override;

    // --- Settings --------------------------------------------------------------------------
    TApdCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TApdCustomComPort* port);
    // The selected protocol; after a handshake it names what the receiver chose (a NAK to an
    // XMODEM-1K transmitter reads ptXmodem).
    TProtocolType ProtocolType() const;
    void SetProtocolType(TProtocolType type);  // raises when the engine set-up fails
    std::string DestinationDirectory() const { return data_->DestinationDirectory; }
    void SetDestinationDirectory(const std::string& directory);
    std::string FileMask() const { return data_->SearchMask; }
    void SetFileMask(const std::string& mask);
    TBlockCheckMethod BlockCheckMethod() const { return data_->BlockCheck; }
    void SetBlockCheckMethod(TBlockCheckMethod method);
    std::uint32_t HandshakeRetry() const { return data_->HandshakeRetry; }
    void SetHandshakeRetry(std::uint32_t value);
    std::uint32_t HandshakeWait() const { return data_->HandshakeWait; }
    void SetHandshakeWait(std::uint32_t ticks);
    std::uint32_t TransmitTimeout() const { return data_->TransmitTimeout; }
    void SetTransmitTimeout(std::uint32_t ticks);
    std::uint32_t FinishWait() const { return data_->FinishWait; }
    void SetFinishWait(std::uint32_t ticks);
    std::uint32_t TurnDelay() const { return data_->TurnDelay; }
    void SetTurnDelay(std::uint32_t ms);
    std::uint32_t Overhead() const { return data_->Overhead; }
    void SetOverhead(std::uint32_t bytes);
    TWriteFailAction WriteFailAction() const { return data_->WriteFailAction; }
    void SetWriteFailAction(TWriteFailAction action);
    bool HonorDirectory() const { return OptionFlag(OptHonorDirectory); }
    void SetHonorDirectory(bool on) { SetOptionFlag(OptHonorDirectory, on); }
    bool IncludeDirectory() const { return OptionFlag(OptIncludeDirectory); }
    void SetIncludeDirectory(bool on) { SetOptionFlag(OptIncludeDirectory, on); }
    bool RTSLowForWrite() const { return OptionFlag(OptRTSLowForWrite); }
    void SetRTSLowForWrite(bool on) { SetOptionFlag(OptRTSLowForWrite, on); }
    bool AbortNoCarrier() const { return OptionFlag(OptAbortNoCarrier); }
    void SetAbortNoCarrier(bool on) { SetOptionFlag(OptAbortNoCarrier, on); }
    bool BP2KTransmit() const { return OptionFlag(OptBP2KTransmit); }
    void SetBP2KTransmit(bool on) { SetOptionFlag(OptBP2KTransmit, on); }
    bool AsciiSuppressCtrlZ() const { return OptionFlag(OptAsciiSuppressCtrlZ); }
    void SetAsciiSuppressCtrlZ(bool on) { SetOptionFlag(OptAsciiSuppressCtrlZ, on); }
    bool UpcaseFileNames() const { return data_->UpcaseFileNames; }
    void SetUpcaseFileNames(bool on) { data_->UpcaseFileNames = on; }
    TApdAbstractStatus* StatusDisplay() const { return statusDisplay_; }
    void SetStatusDisplay(TApdAbstractStatus* display);
    TApdProtocolLog* ProtocolLog() const { return protocolLog_; }
    void SetProtocolLog(TApdProtocolLog* log);
    std::uint32_t StatusInterval() const { return data_->StatusInterval; }
    void SetStatusInterval(std::uint32_t ticks);
    std::string FileName() const { return data_->PathName; }
    void SetFileName(const std::string& name);  // ignored while the work file is open
    std::uint32_t XYmodemBlockWait() const;
    void SetXYmodemBlockWait(std::uint32_t ticks);
    // For unattended runs: a transfer whose block or EOT replies stay away (not one byte) for
    // this many ticks of consecutive waits ends with -6006 (ecTimeout) and the cancel sequence.
    // 0, the default: no limit; the block or EOT is sent again until the transfer is cancelled.
    std::uint32_t SilenceLimit() const { return data_->SilenceLimit; }
    void SetSilenceLimit(std::uint32_t ticks);

    // Settings of the protocols this system does not run: stored only.
    bool ZmodemOptionOverride() const { return zmodemOptionOverride_; }
    void SetZmodemOptionOverride(bool on) { zmodemOptionOverride_ = on; }
    bool ZmodemSkipNoFile() const { return zmodemSkipNoFile_; }
    void SetZmodemSkipNoFile(bool on) { zmodemSkipNoFile_ = on; }
    TZmodemFileOptions ZmodemFileOption() const { return zmodemFileOption_; }
    void SetZmodemFileOption(TZmodemFileOptions option) { zmodemFileOption_ = option; }
    bool ZmodemRecover() const { return zmodemRecover_; }
    void SetZmodemRecover(bool on) { zmodemRecover_ = on; }
    bool Zmodem8K() const { return zmodem8K_; }
    void SetZmodem8K(bool on) { zmodem8K_ = on; }
    std::uint32_t ZmodemFinishRetry() const { return zmodemFinishRetry_; }
    void SetZmodemFinishRetry(std::uint32_t count) { zmodemFinishRetry_ = count; }
    std::uint32_t KermitMaxLen() const { return kermitMaxLen_; }
    void SetKermitMaxLen(std::uint32_t value) { kermitMaxLen_ = value; }
    std::uint32_t KermitMaxWindows() const { return kermitMaxWindows_; }
    void SetKermitMaxWindows(std::uint32_t value) { kermitMaxWindows_ = value; }
    std::uint32_t KermitSWCTurnDelay() const { return kermitSWCTurnDelay_; }
    void SetKermitSWCTurnDelay(std::uint32_t value) { kermitSWCTurnDelay_ = value; }
    std::uint32_t KermitTimeoutSecs() const { return kermitTimeoutSecs_; }
    void SetKermitTimeoutSecs(std::uint32_t value) { kermitTimeoutSecs_ = value; }
    char KermitPadCharacter() const { return kermitPadCharacter_; }
    void SetKermitPadCharacter(char value) { kermitPadCharacter_ = value; }
    std::uint32_t KermitPadCount() const { return kermitPadCount_; }
    void SetKermitPadCount(std::uint32_t value) { kermitPadCount_ = value; }
    char KermitTerminator() const { return kermitTerminator_; }
    void SetKermitTerminator(char value) { kermitTerminator_ = value; }
    char KermitCtlPrefix() const { return kermitCtlPrefix_; }
    void SetKermitCtlPrefix(char value) { kermitCtlPrefix_ = value; }
    char KermitHighbitPrefix() const { return kermitHighbitPrefix_; }
    void SetKermitHighbitPrefix(char value) { kermitHighbitPrefix_ = value; }
    char KermitRepeatPrefix() const { return kermitRepeatPrefix_; }
    void SetKermitRepeatPrefix(char value) { kermitRepeatPrefix_ = value; }
    std::uint32_t AsciiCharDelay() const { return asciiCharDelay_; }
    void SetAsciiCharDelay(std::uint32_t value) { asciiCharDelay_ = value; }
    std::uint32_t AsciiLineDelay() const { return asciiLineDelay_; }
    void SetAsciiLineDelay(std::uint32_t value) { asciiLineDelay_ = value; }
    char AsciiEOLChar() const { return asciiEOLChar_; }
    void SetAsciiEOLChar(char value) { asciiEOLChar_ = value; }
    std::uint32_t AsciiCRTranslation() const { return asciiCRTranslation_; }
    void SetAsciiCRTranslation(std::uint32_t value) { asciiCRTranslation_ = value; }
    std::uint32_t AsciiLFTranslation() const { return asciiLFTranslation_; }
    void SetAsciiLFTranslation(std::uint32_t value) { asciiLFTranslation_ = value; }
    std::uint32_t AsciiEOFTimeout() const { return asciiEOFTimeout_; }
    void SetAsciiEOFTimeout(std::uint32_t value) { asciiEOFTimeout_ = value; }

    // --- Events ------------------------------------------------------------------------------
    const TProtocolStatusEvent& OnProtocolStatus() const { return onProtocolStatus_; }
    void SetOnProtocolStatus(TProtocolStatusEvent event) { onProtocolStatus_ = std::move(event); }
    const TProtocolFinishEvent& OnProtocolFinish() const { return onProtocolFinish_; }
    void SetOnProtocolFinish(TProtocolFinishEvent event) { onProtocolFinish_ = std::move(event); }
    const TProtocolErrorEvent& OnProtocolError() const { return onProtocolError_; }
    void SetOnProtocolError(TProtocolErrorEvent event) { onProtocolError_ = std::move(event); }
    const TProtocolLogEvent& OnProtocolLog() const { return onProtocolLog_; }
    void SetOnProtocolLog(TProtocolLogEvent event) { onProtocolLog_ = std::move(event); }
    const TProtocolNextFileEvent& OnProtocolNextFile() const { return onProtocolNextFile_; }
    void SetOnProtocolNextFile(TProtocolNextFileEvent event) { onProtocolNextFile_ = std::move(event); }
    const TProtocolAcceptEvent& OnProtocolAccept() const { return onProtocolAccept_; }
    void SetOnProtocolAccept(TProtocolAcceptEvent event) { onProtocolAccept_ = std::move(event); }
    const TProtocolResumeEvent& OnProtocolResume() const { return onProtocolResume_; }
    void SetOnProtocolResume(TProtocolResumeEvent event) { onProtocolResume_ = std::move(event); }

    // --- Figures of the running or last transfer (read by the status window) -------------------
    std::int32_t Status() const { return data_->Status; }
    // Text of a protocol status code (4700..4723); empty for any other code.
    static std::string StatusMessage(std::int32_t code);
    std::int64_t FileLength() const { return data_->FileLength; }
    std::int64_t InitialOffset() const { return data_->InitialOffset; }
    bool InProgress() const { return data_->InProgress != 0; }
    std::uint32_t BlockErrors() const { return data_->BlockErrors; }
    std::uint32_t TotalErrors() const { return data_->TotalErrors; }
    std::int64_t BytesTransferred() const;
    std::int64_t BytesRemaining() const;
    std::int64_t EstimateTransferSecs(std::int64_t bytes) const;
    std::int32_t ElapsedTicks() const { return data_->ElapsedTicks; }
    std::uint32_t BlockLength() const;
    std::uint32_t BitRate() const { return data_->CharsPerSecond * 10; }
    std::uint32_t KermitWindows() const { return 0; }

    // --- Operations --------------------------------------------------------------------------
    // Starts sending the file(s) named by FileMask and returns at once. Raises EPortNotAssigned
    // without a port, ENoMoreTriggers when the port has no trigger slot left; a port that is not
    // open ends the transfer with OnProtocolFinish(-103).
    void BeginTransmit();
    // Starts sending exactly the file at `path`, as BeginTransmit does, without the mask search:
    // every character of the path, '*', '?' and brackets included, is part of the file's name.
    void BeginTransmitFile(const std::string& path);
    // The image of the file the last transfer sent (or is sending); nullptr before one was read.
    std::shared_ptr<const TFirmwareImage> SentImage() const { return data_->Image; }
    // Cancels a transfer in progress (the cancel sequence goes out, the finish carries -6005);
    // does nothing otherwise.
    void CancelTransfer();
    // Copies another protocol component's settings and record (this one's Lock is kept).
    void Assign(const TApdCustomProtocol& source);

    void Notification(TComponent* component, TOperation operation) override;

    // The port-user callback registered by BeginTransmit.
    void PortEvent(TApdCustomComPort* port, PortUserEvent event);

    ProtocolData& Data() { return *data_; }
    HWND MessageWindow() const { return messageWindow_; }

protected:
    // One per engine message, in this order.
    virtual std::int32_t DoAccept(char* nameBuffer);
    virtual void DoError(std::int32_t errorCode);
    virtual void DoFinish(std::int32_t errorCode);
    virtual void DoLog(std::uint32_t log);
    virtual std::int32_t DoNextFile(char* nameBuffer);
    virtual std::int32_t DoResume(TWriteFailAction action);
    virtual void DoStatus(std::uint32_t options);

private:
    void StartTransmit();
    LRESULT WindowProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    bool OptionFlag(std::uint32_t bit) const { return (data_->Options & bit) != 0; }
    void SetOptionFlag(std::uint32_t bit, bool on);
    bool IsXYmodemType() const;
    void AssignPort(TApdCustomComPort* port);

    std::unique_ptr<ProtocolData> data_;
    TApdCustomComPort* comPort_ = nullptr;
    TProtocolType protocolType_ = ptNoProtocol;
    TApdAbstractStatus* statusDisplay_ = nullptr;
    TApdProtocolLog* protocolLog_ = nullptr;
    HWND messageWindow_ = 0;
    bool lineSpeedPending_ = true;
    ProtocolStateMachine activeStateMachine_ = nullptr;
    bool typeChosen_ = false;
    bool portUserAdded_ = false;
    // No port was given and none was found yet: the next start looks among the owner's
    // components again (a port placed after this component is announced before it is a port).
    bool lookForPort_ = true;
    std::uint32_t xyModemBlockWait_ = 91;

    bool zmodemOptionOverride_ = false;
    bool zmodemSkipNoFile_ = false;
    TZmodemFileOptions zmodemFileOption_ = zfoWriteNewer;
    bool zmodemRecover_ = false;
    bool zmodem8K_ = false;
    std::uint32_t zmodemFinishRetry_ = 0;
    std::uint32_t kermitMaxLen_ = 80;
    std::uint32_t kermitMaxWindows_ = 0;
    std::uint32_t kermitSWCTurnDelay_ = 0;
    std::uint32_t kermitTimeoutSecs_ = 5;
    char kermitPadCharacter_ = 0;
    std::uint32_t kermitPadCount_ = 0;
    char kermitTerminator_ = 13;
    char kermitCtlPrefix_ = '#';
    char kermitHighbitPrefix_ = 'Y';
    char kermitRepeatPrefix_ = '~';
    std::uint32_t asciiCharDelay_ = 0;
    std::uint32_t asciiLineDelay_ = 0;
    char asciiEOLChar_ = 13;
    std::uint32_t asciiCRTranslation_ = 0;
    std::uint32_t asciiLFTranslation_ = 0;
    std::uint32_t asciiEOFTimeout_ = 364;

    TProtocolStatusEvent onProtocolStatus_;
    TProtocolFinishEvent onProtocolFinish_;
    TProtocolErrorEvent onProtocolError_;
    TProtocolLogEvent onProtocolLog_;
    TProtocolNextFileEvent onProtocolNextFile_;
    TProtocolAcceptEvent onProtocolAccept_;
    TProtocolResumeEvent onProtocolResume_;
};

// The component as the main window places it.
class TApdProtocol : public TApdCustomProtocol {
public:
    using TApdCustomProtocol::TApdCustomProtocol;
};

}  // namespace kavo
