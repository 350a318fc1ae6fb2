// The main window's logic (unit UMain's TFMain) without any toolkit: the download sequence.
//
// It owns the components (Tevo, ApdProtocol, ApdProtocolStatus1, DK_INFO and the USB storage
// mode), the timers TM and TmMsg, and the packet methods. FormCreate runs start-up: port list,
// settings, command line, port number, and the automatic start 500 ms later when the command line
// gave any argument. The send sequence opens the port, optionally wakes the terminal's loader
// with "DDD" and waits for its ACK, and hands the file to the transfer protocol. When the
// transfer ends the sequence closes the port and the window, and the program ends. In USB mode
// the send button only opens the port; the volume handler does the rest.
//
// A front end gives it a view (main_view.h) and, if it can show one, a status component; it
// forwards the operator's actions to the handlers below (through Guard, so that an error goes to
// the error display) and ends its loop when the sequence has closed. The timers and the waits run
// on the platform's event loop (event_loop.h), which a toolkit's loop drives.
//
// Thread safety: the user-interface thread.
#pragma once

#include "app/main_view.h"
#include "app/terminal_link.h"
#include "platform/event_loop.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kavo {

class TApdAbstractStatus;
class TApdComPort;
class TApdProtocol;
class TComponent;
class TDiskInfo;
class TUsbMode;

// Where the send sequence stopped early (the operator sees a message, or nothing, and the window
// stays; an unattended caller may want to end the run instead).
enum TSendStop {
    ssFileMissing,  // no file at the path of EDT_FName
    ssPortFailed,   // opening Tevo failed; the hook gets the error
    ssNoAnswer,     // no ACK to "DDD" within 1000 ms
};

class TDownloadSequence {
public:
    using TStatusMaker = std::function<TApdAbstractStatus*(TComponent* owner)>;
    using TSendStopHook = std::function<void(TSendStop stop, std::exception_ptr error)>;
    using TTransferEndHook = std::function<int(int errorCode)>;
    using TStatusHook = std::function<void(int options)>;
    using TFileCheckHook = std::function<bool(const std::string& path, std::int64_t size)>;
    using TErrorDisplay = std::function<void(const std::string& text)>;

    // Creates the components; `makeStatus` makes the status component (none without it).
    explicit TDownloadSequence(TMainView& view, const TStatusMaker& makeStatus = {});
    // Runs FormDestroy, then frees the components.
    ~TDownloadSequence();
    TDownloadSequence(const TDownloadSequence&) = delete;
    TDownloadSequence& operator=(const TDownloadSequence&) = delete;

    // Start-up with the positional command-line arguments (port, file, mode word).
    void FormCreate(const std::vector<std::string>& arguments);

    // The process's exit code once the window has closed: 0 after a transfer that succeeded or the
    // exit button, 2 after a transfer that failed.
    int ExitCode() const { return exitCode_; }
    // Told once, when the window has closed: the front end ends its loop.
    void SetOnClosed(std::function<void()> onClosed) { onClosed_ = std::move(onClosed); }
    bool Closed() const { return closed_; }

    // Hooks for unattended runs; none is set by default, and then the sequence behaves as the
    // operator knows it.
    // Told of each early stop of the send sequence, after the window's own reaction.
    void SetSendStopHook(TSendStopHook hook) { sendStopHook_ = std::move(hook); }
    // Told of the end of a transfer (its code, 0 for success) before the window closes; returns
    // the exit code. Without it a failed transfer prints "kavodown: transfer failed: <text>
    // (<code>)" and takes 2.
    void SetTransferEndHook(TTransferEndHook hook) { transferEndHook_ = std::move(hook); }
    // Told of the firmware file (its path and size) before the port opens; returning false stops
    // the send sequence there.
    void SetFileCheckHook(TFileCheckHook hook) { fileCheckHook_ = std::move(hook); }
    // Told of every status report of the transfer (after the window's own handler).
    void SetStatusHook(TStatusHook hook) { statusHook_ = std::move(hook); }
    // Where errors that escape an event handler go (the view's error display unless replaced).
    void SetErrorDisplay(TErrorDisplay display) { errorDisplay_ = std::move(display); }

    // Ends the run with `exitCode`: closes the port (a failure goes to the error display) and the
    // window.
    void EndRun(int exitCode);
    // Closes the window: FormClose, then the view closes, then the closed callback.
    void Close();
    // Closes the window, as the exit button does; while the send sequence or a transfer runs, the
    // transfer is cancelled and the program ends with `exitCodeWhileSending`.
    void Quit(int exitCodeWhileSending);
    // The text of the error that ended start-up early, empty when start-up ran to its end.
    const std::string& StartupError() const { return startupError_; }
    // True while the automatic start (TM) is still to come.
    bool AutoStartPending() const { return TM.Enabled(); }
    // True while the send sequence or the transfer runs (BT_SEND and CB_PORT take no input then).
    bool Sending() const { return sending_; }
    bool Attended() const { return view_.Attended(); }
    // What an unattended caller reads and sets of the window: CB_USB, EDT_FName and CB_DDD.
    bool UsbModeOn() const { return view_.UsbChecked(); }
    std::string FileName() const { return view_.FileName(); }
    void SetDddStart(bool on) { view_.SetDddChecked(on); }

    // Runs an event handler; an error that escapes it goes to the error display.
    void Guard(const std::function<void()>& handler);
    // Shows `text` in the message line and clears it 5000 ms after the last message.
    void ShowMsg(const std::string& text);
    // Shows an error that escaped an event handler (the application's error display).
    void ShowError(const std::string& text);

    // Packet methods (see terminal_link.h).
    std::string MakePacket(unsigned char cmd, const std::string& data);
    bool SendData(const std::string& data);
    int SendCmd(unsigned char cmd, const std::u16string& data);
    int WaitData(const std::string& alternatives, int timeoutMs, char separator);
    TerminalLink& Link() { return *link_; }

    // Event handlers.
    void FormClose();
    void FormDestroy();
    void CB_PORTChange();
    void BT_FILEClick();
    void BT_SENDClick();
    void BT_EXITClick();
    void TMTimer();
    void TmMsgTimer();
    void ApdProtocolProtocolStatus(int options);
    void ApdProtocolProtocolFinish(int errorCode);
    void TevoTriggerAvail(int count);
    // USB storage mode: a volume arrived (event 0x8000) or was removed (0x8004); rootFolder is the
    // volume's root.
    void DeviceChange(unsigned event, const std::string& rootFolder);

    // The entry of CB_PORT whose text the box shows, -1 when none does.
    int PortItemIndex() const;
    // The text of CB_PORT that the last CB_PORTChange applied.
    const std::string& AppliedPortText() const { return portTextApplied_; }
    // Full path of the settings file.
    const std::string& IniPath() const { return iniPath_; }
    // Position of the hidden progress bar (it may pass the bar's maximum) and its maximum.
    int PbarPosition() const { return pbarPosition_; }
    int PbarMaximum() const { return pbarMaximum_; }
    // The port number the serial port component has been given.
    int TevoComNumber() const;
    // The message line's text.
    const std::string& Message() const { return message_; }

    // Timers (names and roles as in the layout).
    TTimer TM;
    TTimer TmMsg;

    // Components owned by the sequence (freed with it, after FormDestroy).
    TApdComPort* Tevo = nullptr;
    TApdProtocol* ApdProtocol = nullptr;
    TApdAbstractStatus* ApdProtocolStatus1 = nullptr;
    TDiskInfo* DK_INFO = nullptr;
    TUsbMode* UsbMode = nullptr;

private:
    class PortAdapter;

    void CreateComponents(const TStatusMaker& makeStatus);
    void CreateProtocol();
    void CreateUsbMode();
    // FormDestroy, with a failure to save the settings said on the standard error.
    void SaveSettingsAtEnd();
    void FillPortList();
    void ApplyArguments(const std::vector<std::string>& arguments);
    bool OpenPort();
    bool WakeTerminal();
    void SetSending(bool sending);
    void SetTransferExitCode(int errorCode);

    TMainView& view_;
    std::unique_ptr<TComponent> components_;  // the owner of the components
    std::unique_ptr<PortAdapter> portAdapter_;
    std::unique_ptr<TerminalLink> link_;
    std::vector<TPortItem> portItems_;
    std::function<void()> onClosed_;
    TErrorDisplay errorDisplay_;
    TSendStopHook sendStopHook_;
    TTransferEndHook transferEndHook_;
    TStatusHook statusHook_;
    TFileCheckHook fileCheckHook_;
    std::string startupError_;
    std::string iniPath_;
    std::string portTextApplied_;
    std::string message_;
    int pbarPosition_ = 0;
    int pbarMaximum_ = 100;
    int exitCode_ = 0;
    bool destroyed_ = false;
    bool closed_ = false;
    bool closing_ = false;  // the close has begun: errors from now on must not block it
    bool sending_ = false;
};

// Errors that a component must not let through (a failed serial worker, say) go to `sequence`'s
// error display from now on (SetExceptionDisplay; SetExceptionDisplay(nullptr) ends it).
void ShowComponentErrorsIn(TDownloadSequence& sequence);

}  // namespace kavo
