// Unit UMain: the main window TFMain of KavoDown and its download sequence.
//
// The window lets the operator pick a port number and a firmware file and press the send button.
// The send sequence opens the port, optionally wakes the terminal's loader with "DDD" and waits
// for its ACK, and hands the file to the transfer protocol, which sends it with XMODEM-1K while
// the status window shows the progress. When the transfer ends the window closes the port and
// itself, and the program ends. In USB mode (third command-line argument) the send button only
// opens the port; the volume handler (main_window_usb.cpp) does the rest.
//
// Start-up runs in the constructor: port list, settings, command line, port number, and the
// automatic start 500 ms later when the command line gave any argument.
//
// Thread safety: the window and everything it owns belong to the user-interface thread.
#pragma once

#include "app/terminal_link.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>

#include <exception>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kavo {

class TApdComPort;
class TApdProtocol;
class TApdProtocolStatus;
class TDiskInfo;
class TComponent;

// Where the send sequence stopped early (the operator sees a message, or nothing, and the window
// stays; an unattended caller may want to end the run instead).
enum TSendStop {
    ssFileMissing,  // no file at the path of EDT_FName
    ssPortFailed,   // opening Tevo failed; the hook gets the error
    ssNoAnswer,     // no ACK to "DDD" within 1000 ms
};

class TFMain : public QWidget {
    Q_OBJECT

public:
    using TSendStopHook = std::function<void(TSendStop stop, std::exception_ptr error)>;
    using TTransferEndHook = std::function<int(int errorCode)>;
    using TStatusHook = std::function<void(int options)>;
    using TFileCheckHook = std::function<bool(const std::string& path, std::int64_t size)>;

    // `arguments` are the positional command-line arguments (port, file, mode word), without the
    // program name and without options that begin with "--".
    explicit TFMain(const QStringList& arguments, QWidget* parent = nullptr);
    ~TFMain() override;

    // The process's exit code once the window has closed: 0 after a transfer that succeeded or the
    // exit button, 2 after a transfer that failed.
    int ExitCode() const { return exitCode_; }

    // Hooks for unattended runs; none is set by default, and then the window behaves as the
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
    // Ends the run with `exitCode`: closes the port (a failure goes to the error display) and the
    // window.
    void EndRun(int exitCode);
    // The text of the error that ended start-up early, empty when start-up ran to its end.
    const QString& StartupError() const { return startupError_; }
    // True while the automatic start (TM) is still to come.
    bool AutoStartPending() const;
    // True while the send sequence or the transfer runs (BT_SEND and CB_PORT take no input then).
    bool Sending() const { return sending_; }
    // Closes the window, as the exit button does; while the send sequence or a transfer runs, the
    // transfer is cancelled and the program ends with `exitCodeWhileSending`.
    void Quit(int exitCodeWhileSending);
    // False when no one can see the window (offscreen, hidden or minimised): no dialog may wait
    // for an answer then.
    bool Attended() const;

    // Shows `text` in the message line and clears it 5000 ms after the last message.
    void ShowMsg(const QString& text);

    // Shows an error that escaped an event handler (the application's error display).
    void ShowError(const QString& text);
    // Where errors that escape an operator's action go (a message box unless replaced).
    void SetErrorDisplay(std::function<void(const QString&)> display) {
        errorDisplay_ = std::move(display);
    }

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
    // volume's root. Defined in main_window_usb.cpp.
    void DeviceChange(unsigned event, const std::string& rootFolder);

    // The selected entry of CB_PORT: the entry whose text the box shows, -1 when none does.
    int PortItemIndex() const;
    // Full path of the settings file.
    const QString& IniPath() const { return iniPath_; }
    // Position of the hidden progress bar (it may pass the bar's maximum).
    int PbarPosition() const { return pbarPosition_; }
    // The port number the serial port component has been given.
    int TevoComNumber() const;

    // Controls (names as in the layout).
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* CB_PORT = nullptr;
    QLabel* Lab_Msg = nullptr;
    QPushButton* BT_EXIT = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLineEdit* EDT_FName = nullptr;
    QPushButton* BT_FILE = nullptr;
    QProgressBar* Pbar = nullptr;
    QPushButton* BT_SEND = nullptr;
    QCheckBox* CB_USB = nullptr;
    QCheckBox* CB_DDD = nullptr;
    QFileDialog* OpenDialog1 = nullptr;
    QTimer* TM = nullptr;
    QTimer* TmMsg = nullptr;

    // Components owned by the window (freed with it, after FormDestroy).
    TApdComPort* Tevo = nullptr;
    TApdProtocol* ApdProtocol = nullptr;
    TApdProtocolStatus* ApdProtocolStatus1 = nullptr;
    TDiskInfo* DK_INFO = nullptr;

signals:
    // The window has closed; the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    class PortAdapter;

    void BuildControls();
    void FormCreate(const QStringList& arguments);
    void Guard(const std::function<void()>& handler);

    void CreateComponents();
    void SetSending(bool sending);

    std::unique_ptr<TComponent> components_;  // the owner of the window's components
    std::unique_ptr<PortAdapter> portAdapter_;
    std::unique_ptr<TerminalLink> link_;
    std::function<void(const QString&)> errorDisplay_;
    TSendStopHook sendStopHook_;
    TTransferEndHook transferEndHook_;
    TStatusHook statusHook_;
    TFileCheckHook fileCheckHook_;
    QString startupError_;
    QString iniPath_;
    QString portTextApplied_;  // the text of CB_PORT at the last CB_PORTChange
    int pbarPosition_ = 0;
    int exitCode_ = 0;
    bool destroyed_ = false;
    bool closed_ = false;
    bool closing_ = false;  // the close has begun: errors from now on must not block it
    bool sending_ = false;
    bool centred_ = false;
};

// Errors that a component must not let through (a failed serial worker, say) go to `window`'s
// error display from now on (SetExceptionDisplay; SetExceptionDisplay(nullptr) ends it).
void ShowComponentErrorsIn(TFMain& window);

}  // namespace kavo
