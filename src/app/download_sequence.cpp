#include "app/download_sequence.h"

#include "app/disk_info.h"
#include "platform/exit_codes.h"
#include "app/usb_mode.h"
#include "app/uutil.h"
#include "platform/component.h"
#include "platform/settings_folder.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "transfer/abstract_status.h"
#include "transfer/protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kavo {
namespace {

// The line settings of Tevo and the protocol's waits.
constexpr std::int32_t kBaud = 115200;
constexpr std::uint32_t kHandshakeWaitTicks = 1092;  // 60 s
constexpr std::uint32_t kTurnDelayMs = 1000;
constexpr std::uint32_t kOverheadBytes = 5;
constexpr std::uint32_t kStatusIntervalTicks = 10;
// TM starts the send sequence this long after an unattended start-up; TmMsg clears the message.
constexpr std::uint32_t kAutoStartMs = 500;
constexpr std::uint32_t kMessageMs = 5000;
// The wait for the terminal's ACK after "DDD".
constexpr int kWakeAnswerMs = 1000;
// Each plain status report advances the hidden bar by this much.
constexpr int kPbarStep = 10;

constexpr const char* kFileMissingText = "파일이 존재 하지 않습니다!";
constexpr const char* kPortFailedText = "포트 오픈 실패 !!";

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::toupper(static_cast<unsigned char>(x)) <
                   std::toupper(static_cast<unsigned char>(y));
        });
}

// Round to the nearest integer, a half to the even neighbour.
int RoundHalfEven(std::int64_t numerator, std::int64_t denominator) {
    std::int64_t q = numerator / denominator, r = numerator % denominator;
    if (2 * r > denominator || (2 * r == denominator && q % 2 != 0)) ++q;
    return static_cast<int>(q);
}

void PrintError(const std::string& text) {
    std::fprintf(stderr, "kavodown: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace

// The serial port as the packet methods see it.
class TDownloadSequence::PortAdapter : public TerminalPort {
public:
    explicit PortAdapter(TApdComPort*& port) : port_(port) {}
    bool IsOpen() const override { return port_ && port_->Open(); }
    void SendString(const std::string& bytes) override { port_->SendString(bytes); }
    int OutputUsed() override { return static_cast<int>(port_->OutputUsed()); }
    bool InputReady() override { return port_->InputReady(); }
    unsigned char ReadChar() override { return static_cast<unsigned char>(port_->ReadChar()); }

private:
    TApdComPort*& port_;
};

TDownloadSequence::TDownloadSequence(TMainView& view, const TStatusMaker& makeStatus)
    : view_(view),
      components_(std::make_unique<TComponent>()),
      portAdapter_(std::make_unique<PortAdapter>(Tevo)),
      link_(std::make_unique<TerminalLink>(*portAdapter_)) {
    TM.SetInterval(kAutoStartMs);
    TM.SetOnTimer([this] { Guard([this] { TMTimer(); }); });
    TmMsg.SetInterval(kMessageMs);
    TmMsg.SetOnTimer([this] { Guard([this] { TmMsgTimer(); }); });
    CreateComponents(makeStatus);
}

TDownloadSequence::~TDownloadSequence() {
    SaveSettingsAtEnd();
    components_.reset();
}

void TDownloadSequence::SaveSettingsAtEnd() {
    try {
        FormDestroy();
    } catch (const std::exception& e) {
        PrintError(std::string("the settings could not be saved: ") + e.what());
    }
}

void TDownloadSequence::CreateComponents(const TStatusMaker& makeStatus) {
    Tevo = new TApdComPort(components_.get());
    Tevo->SetName("Tevo");
    Tevo->SetBaud(kBaud);
    Tevo->SetAutoOpen(false);
    Tevo->SetOnTriggerAvail(
        [this](TApdCustomComPort*, std::uint16_t count) { TevoTriggerAvail(count); });

    CreateProtocol();

    if (makeStatus) ApdProtocolStatus1 = makeStatus(components_.get());
    if (ApdProtocolStatus1) {
        ApdProtocolStatus1->SetName("ApdProtocolStatus1");
        ApdProtocolStatus1->SetProtocol(ApdProtocol);
        ApdProtocolStatus1->SetCaption("Protocol Status");
        ApdProtocolStatus1->SetPosition(TPosition::poDesigned);
        ApdProtocolStatus1->SetCtl3D(true);
        ApdProtocolStatus1->SetVisible(false);
    }
    ApdProtocol->SetStatusDisplay(ApdProtocolStatus1);

    CreateUsbMode();
}

void TDownloadSequence::CreateProtocol() {
    ApdProtocol = new TApdProtocol(components_.get());
    ApdProtocol->SetName("ApdProtocol");
    ApdProtocol->SetComPort(Tevo);
    ApdProtocol->SetProtocolType(ptXmodem1K);
    ApdProtocol->SetBlockCheckMethod(bcmCrc16);
    ApdProtocol->SetFileMask("*.*");
    ApdProtocol->SetHandshakeWait(kHandshakeWaitTicks);
    ApdProtocol->SetFinishWait(0);
    ApdProtocol->SetTurnDelay(kTurnDelayMs);
    ApdProtocol->SetOverhead(kOverheadBytes);
    ApdProtocol->SetStatusInterval(kStatusIntervalTicks);
    ApdProtocol->SetOnProtocolStatus([this](TApdCustomProtocol*, std::uint16_t options) {
        Guard([this, options] {
            ApdProtocolProtocolStatus(options);
            if (statusHook_) statusHook_(options);
        });
    });
    // The engine's error event comes while its thread waits for the answer; closing the port
    // from there would wait for that same thread. The finish that follows every error ends the
    // transfer, with the error's code.
    ApdProtocol->SetOnProtocolFinish([this](TApdCustomProtocol*, std::int32_t code) {
        Guard([this, code] { ApdProtocolProtocolFinish(code); });
    });
}

void TDownloadSequence::FormCreate(const std::vector<std::string>& arguments) {
    // One error trap around the whole start-up: an error ends it silently at that step.
    try {
        FillPortList();

        iniPath_ = SettingsFolder() + "Option.ini";
        const std::string startFolder = FirmwareStartFolder();
        view_.SetDialogFolder(startFolder);

        const int index = StrToIntDef(ReadIni("OPTION", "PORT", iniPath_), 0);
        const bool listed = index >= 0 && index < static_cast<int>(portItems_.size());
        view_.SelectPortItem(listed ? index : -1);

        const std::string fileName = ReadIni("OPTION", "FNAME", iniPath_);
        view_.SetFileName(fileName.empty() ? startFolder : fileName);

        ApplyArguments(arguments);
        CB_PORTChange();
        if (!arguments.empty()) TM.SetEnabled(true);
    } catch (const std::exception& e) {
        // Start-up errors are not reported; the window stays as far as it got. The text is kept
        // for a caller that cannot wait for an operator.
        startupError_ = e.what();
    } catch (...) {
        startupError_ = "Unexpected error";
    }
}

void TDownloadSequence::FillPortList() {
    std::vector<std::string> ports;
    GetComPortList(GetOSVersionCode(), ports);
    std::stable_sort(ports.begin(), ports.end(), LessNoCase);
    portItems_.clear();
    for (const std::string& port : ports) {
        portItems_.push_back({port.size() > 3 ? port.substr(3) : std::string(), std::string()});
    }
    // Each number tells which device it is.
    for (const PortEntry& entry : ListComPorts()) {
        for (TPortItem& item : portItems_) {
            if (item.text == std::to_string(entry.number)) item.device = entry.path;
        }
    }
    view_.SetPortItems(portItems_);
}

void TDownloadSequence::ApplyArguments(const std::vector<std::string>& arguments) {
    if (arguments.size() >= 1) view_.SetPortText(arguments[0]);
    if (arguments.size() >= 2) view_.SetFileName(arguments[1]);
    if (arguments.size() >= 3) {
        std::string mode = arguments[2];
        for (char& c : mode) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (mode.find("USB") != std::string::npos) view_.SetUsbChecked(true);
    }
}

int TDownloadSequence::PortItemIndex() const {
    const std::string text = view_.PortText();
    for (std::size_t i = 0; i < portItems_.size(); ++i) {
        if (portItems_[i].text == text) return static_cast<int>(i);
    }
    return -1;
}

int TDownloadSequence::TevoComNumber() const { return Tevo->ComNumber(); }

void TDownloadSequence::SetSending(bool sending) {
    sending_ = sending;
    // One sequence at a time: a second press would put "DDD" into the transfer, and a new port
    // number would close the port under it.
    view_.SetSendEnabled(!sending);
}

void TDownloadSequence::Quit(int exitCodeWhileSending) {
    // A transfer cut short did not deliver the file: the run must not end as a success.
    if (sending_ && exitCode_ == kExitOk) exitCode_ = exitCodeWhileSending;
    Close();
}

void TDownloadSequence::EndRun(int exitCode) {
    exitCode_ = exitCode;
    if (closed_) return;
    try {
        Tevo->SetOpen(false);
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
    Close();
}

void TDownloadSequence::Close() {
    if (closing_) return;
    closing_ = true;
    try {
        FormClose();
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
    closed_ = true;
    view_.CloseWindow();
    if (onClosed_) onClosed_();
}

void TDownloadSequence::Guard(const std::function<void()>& handler) {
    // Errors that escape an event handler go to the application's error display.
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(e.what());
    } catch (...) {
        ShowError("Unexpected error");
    }
}

void TDownloadSequence::ShowError(const std::string& text) {
    if (errorDisplay_) {
        errorDisplay_(text);
        return;
    }
    // A message box that no one can see, or one that holds up the close, would hold the program
    // without end: the text goes to the standard error instead.
    if (!view_.Attended() || closing_) {
        PrintError(text);
        return;
    }
    view_.ShowErrorBox(text);
}

void TDownloadSequence::ShowMsg(const std::string& text) {
    message_ = text;
    view_.SetMessage(text);
    TmMsg.SetEnabled(false);
    TmMsg.SetEnabled(true);
}

void TDownloadSequence::TmMsgTimer() {
    TmMsg.SetEnabled(false);
    message_.clear();
    view_.SetMessage(message_);
}

void TDownloadSequence::TMTimer() {
    TM.SetEnabled(false);
    BT_SENDClick();
}

void TDownloadSequence::CB_PORTChange() {
    if (sending_) return;  // the box is disabled; a queued change must not close the port either
    Tevo->SetOpen(false);
    portTextApplied_ = view_.PortText();
    const int number = StrToInt(portTextApplied_);
    if (number < 0 || number > 0xFFFF) {
        throw EConvertError("'" + portTextApplied_ + "' is not a valid port number");
    }
    Tevo->SetComNumber(static_cast<std::uint16_t>(number));
}

void TDownloadSequence::BT_FILEClick() {
    if (const auto path = view_.ChooseFile()) view_.SetFileName(*path);
}

void TDownloadSequence::BT_EXITClick() { Quit(kExitTransferFailed); }

void TDownloadSequence::BT_SENDClick() {
    if (sending_ || closed_) return;
    const std::string path = view_.FileName();
    if (!FileExists(path)) {
        ShowMsg(kFileMissingText);
        if (sendStopHook_) sendStopHook_(ssFileMissing, nullptr);
        return;
    }
    const std::int64_t size = GetFileSize(path);
    if (fileCheckHook_ && !fileCheckHook_(path, size)) return;
    pbarMaximum_ = RoundHalfEven(size < 0 ? 0 : size, 1000);
    pbarPosition_ = 0;
    view_.SetProgressMax(pbarMaximum_);
    view_.SetProgressPosition(0);

    SetSending(true);
    if (!OpenPort()) return;

    if (view_.UsbChecked()) {
        // USB mode: the terminal's volume does the rest when it arrives; nothing is sent now.
        if (view_.DddChecked()) SendData("DDD");
        SetSending(false);
        return;
    }
    if (view_.DddChecked() && !WakeTerminal()) return;

    // The chosen file itself, never a mask: a name with '*' or '?' names that one file.
    try {
        ApdProtocol->BeginTransmitFile(path);
    } catch (...) {
        SetSending(false);
        throw;
    }
}

bool TDownloadSequence::OpenPort() {
    try {
        Tevo->SetOpen(true);  // with no port number this asks the operator first
        return true;
    } catch (...) {
        SetSending(false);
        ShowMsg(kPortFailedText);
        if (sendStopHook_) sendStopHook_(ssPortFailed, std::current_exception());
        return false;
    }
}

bool TDownloadSequence::WakeTerminal() {
    link_->ClearRecvBuf();
    SendData("DDD");
    const bool answered =
        WaitData(std::string(1, static_cast<char>(kACK)), kWakeAnswerMs, '^') != 0;
    // The window closed during the wait (exit button, signal): nothing more goes out.
    if (closed_) return false;
    if (!answered) {
        SetSending(false);
        if (sendStopHook_) sendStopHook_(ssNoAnswer, nullptr);
        return false;
    }
    return true;
}

void TDownloadSequence::ApdProtocolProtocolStatus(int options) {
    if (options != 0) return;
    pbarPosition_ += kPbarStep;
    view_.SetProgressPosition(std::min(pbarPosition_, pbarMaximum_));
}

void TDownloadSequence::SetTransferExitCode(int errorCode) {
    // A failed transfer ends like a good one, but the exit code tells the caller. A finish that
    // comes after the window has closed (the exit button cancelled the transfer) changes nothing.
    if (closed_ || exitCode_ != kExitOk) return;
    if (transferEndHook_) {
        exitCode_ = transferEndHook_(errorCode);
    } else if (errorCode != 0) {
        // Unattended runs have no one watching the window: say why on the standard error.
        PrintError("transfer failed: " + ErrorText(errorCode) + " (" + std::to_string(errorCode) +
                   ")");
        exitCode_ = kExitTransferFailed;
    }
}

void TDownloadSequence::ApdProtocolProtocolFinish(int errorCode) {
    SetSending(false);
    SetTransferExitCode(errorCode);
    // The window closes even when the port refuses to: an unattended run must end.
    try {
        Tevo->SetOpen(false);
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
    Close();
}

void TDownloadSequence::TevoTriggerAvail(int count) {
    try {
        link_->OnAvail(count);
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

std::string TDownloadSequence::MakePacket(unsigned char cmd, const std::string& data) {
    return BuildPacket(cmd, data);
}
bool TDownloadSequence::SendData(const std::string& data) { return link_->SendData(data); }
int TDownloadSequence::SendCmd(unsigned char cmd, const std::u16string& data) {
    return link_->SendCmd(cmd, data);
}
int TDownloadSequence::WaitData(const std::string& alternatives, int timeoutMs, char separator) {
    return link_->WaitData(alternatives, timeoutMs, separator);
}

void TDownloadSequence::FormClose() { ApdProtocol->CancelTransfer(); }

void TDownloadSequence::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (iniPath_.empty()) return;  // start-up never got as far as the settings
    WriteIni("OPTION", "PORT", std::to_string(PortItemIndex()), iniPath_);
    WriteIni("OPTION", "FNAME", view_.FileName(), iniPath_);
}

void ShowComponentErrorsIn(TDownloadSequence& sequence) {
    SetExceptionDisplay([&sequence](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            sequence.ShowError(e.what());
        } catch (...) {
            sequence.ShowError("Unexpected error");
        }
    });
}

}  // namespace kavo
