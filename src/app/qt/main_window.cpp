#include "app/qt/main_window.h"

#include "platform/exit_codes.h"
#include "app/qt/button_pictures.h"
#include "app/qt/main_window_usb.h"
#include "app/uutil.h"
#include "platform/component.h"
#include "platform/settings_folder.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "status/protocol_status.h"
#include "transfer/protocol.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

namespace kavo {
namespace {

QFont GulimFont(int pixels) {
    QFont font;
    // "굴림" where the machine has it; a Hangul font of the system otherwise.
    font.setFamilies({QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
                      QStringLiteral("NanumBarunGothic")});
    font.setPixelSize(pixels);
    return font;
}

std::string Bytes(const QString& text) { return text.toStdString(); }

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

}  // namespace

// The serial port as the packet methods see it.
class TFMain::PortAdapter : public TerminalPort {
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

TFMain::TFMain(const QStringList& arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      components_(std::make_unique<TComponent>()),
      portAdapter_(std::make_unique<PortAdapter>(Tevo)),
      link_(std::make_unique<TerminalLink>(*portAdapter_)) {
    BuildControls();
    CreateComponents();
    FormCreate(arguments);
}

TFMain::~TFMain() {
    FormDestroy();
    // The components go before the controls, as they do with the window they sit on.
    components_.reset();
}

void TFMain::CreateComponents() {
    Tevo = new TApdComPort(components_.get());
    Tevo->SetName("Tevo");
    Tevo->SetBaud(115200);
    Tevo->SetAutoOpen(false);
    Tevo->SetOnTriggerAvail(
        [this](TApdCustomComPort*, std::uint16_t count) { TevoTriggerAvail(count); });

    ApdProtocol = new TApdProtocol(components_.get());
    ApdProtocol->SetName("ApdProtocol");
    ApdProtocol->SetComPort(Tevo);
    ApdProtocol->SetProtocolType(ptXmodem1K);
    ApdProtocol->SetBlockCheckMethod(bcmCrc16);
    ApdProtocol->SetFileMask("*.*");
    ApdProtocol->SetHandshakeWait(1092);
    ApdProtocol->SetFinishWait(0);
    ApdProtocol->SetTurnDelay(1000);
    ApdProtocol->SetOverhead(5);
    ApdProtocol->SetStatusInterval(10);
    ApdProtocol->SetOnProtocolStatus(
        [this](TApdCustomProtocol*, std::uint16_t options) {
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

    ApdProtocolStatus1 = new TApdProtocolStatus(components_.get());
    ApdProtocolStatus1->SetName("ApdProtocolStatus1");
    ApdProtocolStatus1->SetProtocol(ApdProtocol);
    ApdProtocolStatus1->SetCaption("Protocol Status");
    ApdProtocolStatus1->SetPosition(TPosition::poDesigned);
    ApdProtocolStatus1->SetCtl3D(true);
    ApdProtocolStatus1->SetVisible(false);
    ApdProtocol->SetStatusDisplay(ApdProtocolStatus1);

    // DK_INFO, and the volume watcher of the USB mode (main_window_usb.cpp).
    DK_INFO = CreateUsbMode(*this, components_.get());
}

void TFMain::BuildControls() {
    setObjectName(QStringLiteral("FMain"));
    setWindowTitle(QStringLiteral("Kavo Serial Download 2.0"));
    setFixedSize(511, 215);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    // Disabled captions in dark grey, as the classic look has them; the default is lost on silver.
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    setPalette(pal);
    setFont(GulimFont(13));

    auto name = [](QWidget* w, const char* n) { w->setObjectName(QLatin1String(n)); };

    GroupBox1 = new QGroupBox(QStringLiteral(" 연결 "), this);
    name(GroupBox1, "GroupBox1");
    GroupBox1->setGeometry(8, 8, 489, 65);

    Label1 = new QLabel(QStringLiteral("포트"), GroupBox1);
    name(Label1, "Label1");
    Label1->move(24, 24);
    Label1->adjustSize();

    CB_PORT = new QComboBox(GroupBox1);
    name(CB_PORT, "CB_PORT");
    CB_PORT->setEditable(true);
    CB_PORT->setInsertPolicy(QComboBox::NoInsert);
    CB_PORT->setGeometry(71, 20, 41, 21);
    // The operator's changes only: typing in the box, or choosing an entry that shows another
    // text. The box also reports "activated" for the text it already shows (when it loses the
    // focus to another window, for one), which must not close a port in use.
    connect(CB_PORT, &QComboBox::textActivated, this, [this](const QString& text) {
        if (text != portTextApplied_) Guard([this] { CB_PORTChange(); });
    });
    connect(CB_PORT->lineEdit(), &QLineEdit::textEdited, this,
            [this] { Guard([this] { CB_PORTChange(); }); });

    Lab_Msg = new QLabel(GroupBox1);
    name(Lab_Msg, "Lab_Msg");
    Lab_Msg->move(144, 25);
    QFont msgFont = GulimFont(13);
    msgFont.setBold(true);
    Lab_Msg->setFont(msgFont);
    QPalette red = Lab_Msg->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Lab_Msg->setPalette(red);
    Lab_Msg->resize(230, 16);

    BT_EXIT = new QPushButton(ExitPicture(), QStringLiteral("종료"), GroupBox1);
    name(BT_EXIT, "BT_EXIT");
    BT_EXIT->setGeometry(384, 17, 85, 34);
    BT_EXIT->setIconSize(QSize(24, 24));
    connect(BT_EXIT, &QPushButton::clicked, this, [this] { Guard([this] { BT_EXITClick(); }); });

    GroupBox2 = new QGroupBox(QStringLiteral(" 파일선택 "), this);
    name(GroupBox2, "GroupBox2");
    GroupBox2->setGeometry(8, 80, 489, 73);

    EDT_FName = new QLineEdit(GroupBox2);
    name(EDT_FName, "EDT_FName");
    EDT_FName->setGeometry(15, 23, 426, 18);
    EDT_FName->setFont(GulimFont(12));

    BT_FILE = new QPushButton(FilePicture(), QString(), GroupBox2);
    name(BT_FILE, "BT_FILE");
    BT_FILE->setGeometry(448, 24, 33, 33);
    BT_FILE->setIconSize(QSize(24, 24));
    connect(BT_FILE, &QPushButton::clicked, this, [this] { Guard([this] { BT_FILEClick(); }); });

    Pbar = new QProgressBar(GroupBox2);
    name(Pbar, "Pbar");
    Pbar->setGeometry(16, 53, 425, 12);
    Pbar->setRange(0, 100);
    Pbar->setValue(0);
    Pbar->setTextVisible(false);
    Pbar->hide();

    BT_SEND = new QPushButton(SendPicture(), QStringLiteral("  전     송"), this);
    name(BT_SEND, "BT_SEND");
    BT_SEND->setGeometry(244, 161, 129, 41);
    BT_SEND->setIconSize(QSize(32, 32));
    connect(BT_SEND, &QPushButton::clicked, this, [this] { Guard([this] { BT_SENDClick(); }); });

    CB_USB = new QCheckBox(QStringLiteral("USB Mode"), this);
    name(CB_USB, "CB_USB");
    CB_USB->setGeometry(16, 176, 97, 17);
    CB_USB->setEnabled(false);

    CB_DDD = new QCheckBox(QStringLiteral("DDD Start"), this);
    name(CB_DDD, "CB_DDD");
    CB_DDD->setGeometry(120, 176, 97, 17);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    // "*.*" means every file here, as it does on the system the tool comes from.
    OpenDialog1->setNameFilter(QStringLiteral("*.* (*)"));
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);

    TM = new QTimer(this);
    TM->setObjectName(QStringLiteral("TM"));
    TM->setInterval(500);
    TM->setTimerType(Qt::PreciseTimer);
    connect(TM, &QTimer::timeout, this, [this] { Guard([this] { TMTimer(); }); });

    TmMsg = new QTimer(this);
    TmMsg->setObjectName(QStringLiteral("TmMsg"));
    TmMsg->setInterval(5000);
    TmMsg->setTimerType(Qt::PreciseTimer);
    connect(TmMsg, &QTimer::timeout, this, [this] { Guard([this] { TmMsgTimer(); }); });

    errorDisplay_ = [this](const QString& text) {
        // A message box that no one can see, or one that holds up the close, would hold the
        // program without end: the text goes to the standard error instead.
        if (!Attended() || closing_) {
            std::fprintf(stderr, "kavodown: %s\n", text.toLocal8Bit().constData());
            std::fflush(stderr);
            return;
        }
        QMessageBox::critical(this, QStringLiteral("KavoDown"), text);
    };
}

void TFMain::FormCreate(const QStringList& arguments) {
    // One error trap around the whole start-up: an error ends it silently at that step.
    try {
        std::vector<std::string> ports;
        GetComPortList(GetOSVersionCode(), ports);
        std::stable_sort(ports.begin(), ports.end(), LessNoCase);
        CB_PORT->clear();
        for (const std::string& port : ports) {
            CB_PORT->addItem(QString::fromStdString(port.size() > 3 ? port.substr(3) : ""));
        }
        // Each number tells, as its tool tip, which device it is.
        for (const PortEntry& entry : ListComPorts()) {
            const int item = CB_PORT->findText(QString::number(entry.number), Qt::MatchExactly);
            if (item >= 0) {
                CB_PORT->setItemData(item, QString::fromStdString(entry.path), Qt::ToolTipRole);
            }
        }

        iniPath_ = QString::fromStdString(SettingsFolder() + "Option.ini");
        const QString startFolder = QString::fromStdString(FirmwareStartFolder());
        OpenDialog1->setDirectory(startFolder);

        int index = StrToIntDef(ReadIni("OPTION", "PORT", Bytes(iniPath_)), 0);
        CB_PORT->setCurrentIndex(index >= 0 && index < CB_PORT->count() ? index : -1);
        if (CB_PORT->currentIndex() < 0) CB_PORT->setEditText(QString());

        QString fileName = QString::fromStdString(ReadIni("OPTION", "FNAME", Bytes(iniPath_)));
        EDT_FName->setText(fileName);
        if (fileName.isEmpty()) {
            EDT_FName->setText(startFolder);
        }

        if (arguments.size() >= 1) CB_PORT->setEditText(arguments[0]);
        if (arguments.size() >= 2) EDT_FName->setText(arguments[1]);
        if (arguments.size() >= 3 && arguments[2].toUpper().contains(QStringLiteral("USB"))) {
            CB_USB->setChecked(true);
        }

        CB_PORTChange();

        if (!arguments.isEmpty()) TM->start();
    } catch (const std::exception& e) {
        // Start-up errors are not reported; the window stays as far as it got. The text is kept
        // for a caller that cannot wait for an operator.
        startupError_ = QString::fromLocal8Bit(e.what());
    } catch (...) {
        startupError_ = QStringLiteral("Unexpected error");
    }
}

int TFMain::PortItemIndex() const {
    const QString text = CB_PORT->currentText();
    if (CB_PORT->currentIndex() >= 0 && CB_PORT->itemText(CB_PORT->currentIndex()) == text) {
        return CB_PORT->currentIndex();
    }
    return CB_PORT->findText(text, Qt::MatchExactly);
}

int TFMain::TevoComNumber() const { return Tevo->ComNumber(); }

bool TFMain::AutoStartPending() const { return TM->isActive(); }

bool TFMain::Attended() const {
    return isVisible() && !isMinimized() &&
           QGuiApplication::platformName() != QLatin1String("offscreen");
}

void TFMain::SetSending(bool sending) {
    sending_ = sending;
    // One sequence at a time: a second press would put "DDD" into the transfer, and a new port
    // number would close the port under it.
    BT_SEND->setEnabled(!sending);
    CB_PORT->setEnabled(!sending);
}

void TFMain::Quit(int exitCodeWhileSending) {
    // A transfer cut short did not deliver the file: the run must not end as a success.
    if (sending_ && exitCode_ == 0) exitCode_ = exitCodeWhileSending;
    close();
}

void TFMain::EndRun(int exitCode) {
    exitCode_ = exitCode;
    if (closed_) return;
    try {
        Tevo->SetOpen(false);
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    }
    close();
}

void TFMain::Guard(const std::function<void()>& handler) {
    // Errors that escape an event handler go to the application's error display.
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    } catch (...) {
        ShowError(QStringLiteral("Unexpected error"));
    }
}

void TFMain::ShowError(const QString& text) {
    if (errorDisplay_) errorDisplay_(text);
}

void TFMain::ShowMsg(const QString& text) {
    Lab_Msg->setText(text);
    Lab_Msg->adjustSize();
    TmMsg->stop();
    TmMsg->start();
}

void TFMain::TmMsgTimer() {
    TmMsg->stop();
    Lab_Msg->clear();
}

void TFMain::TMTimer() {
    TM->stop();
    BT_SENDClick();
}

void TFMain::CB_PORTChange() {
    if (sending_) return;  // the box is disabled; a queued change must not close the port either
    Tevo->SetOpen(false);
    portTextApplied_ = CB_PORT->currentText();
    const std::string text = Bytes(portTextApplied_);
    int number = StrToInt(text);
    if (number < 0 || number > 0xFFFF) {
        throw EConvertError("'" + text + "' is not a valid port number");
    }
    Tevo->SetComNumber(static_cast<std::uint16_t>(number));
}

void TFMain::BT_FILEClick() {
    if (OpenDialog1->exec() == QDialog::Accepted && !OpenDialog1->selectedFiles().isEmpty()) {
        EDT_FName->setText(OpenDialog1->selectedFiles().first());
    }
}

void TFMain::BT_EXITClick() { Quit(kExitTransferFailed); }

void TFMain::BT_SENDClick() {
    if (sending_ || closed_) return;
    const std::string path = Bytes(EDT_FName->text());
    if (!FileExists(path)) {
        ShowMsg(QStringLiteral("파일이 존재 하지 않습니다!"));
        if (sendStopHook_) sendStopHook_(ssFileMissing, nullptr);
        return;
    }
    const std::int64_t size = GetFileSize(path);
    if (fileCheckHook_ && !fileCheckHook_(path, size)) return;
    Pbar->setMaximum(RoundHalfEven(size < 0 ? 0 : size, 1000));
    pbarPosition_ = 0;
    Pbar->setValue(0);

    SetSending(true);
    try {
        Tevo->SetOpen(true);  // with no port number this asks the operator first
    } catch (...) {
        SetSending(false);
        ShowMsg(QStringLiteral("포트 오픈 실패 !!"));
        if (sendStopHook_) sendStopHook_(ssPortFailed, std::current_exception());
        return;
    }

    if (CB_USB->isChecked()) {
        // USB mode: the terminal's volume does the rest when it arrives; nothing is sent now.
        if (CB_DDD->isChecked()) SendData("DDD");
        SetSending(false);
        return;
    }

    if (CB_DDD->isChecked()) {
        link_->ClearRecvBuf();
        SendData("DDD");
        const bool answered = WaitData(std::string(1, static_cast<char>(kACK)), 1000, '^') != 0;
        // The window closed during the wait (exit button, signal): nothing more goes out.
        if (closed_) return;
        if (!answered) {
            SetSending(false);
            if (sendStopHook_) sendStopHook_(ssNoAnswer, nullptr);
            return;
        }
    }

    // The chosen file itself, never a mask: a name with '*' or '?' names that one file.
    try {
        ApdProtocol->BeginTransmitFile(path);
    } catch (...) {
        SetSending(false);
        throw;
    }
}

void TFMain::ApdProtocolProtocolStatus(int options) {
    if (options != 0) return;
    pbarPosition_ += 10;
    Pbar->setValue(std::min(pbarPosition_, Pbar->maximum()));
    Pbar->repaint();
}

void TFMain::ApdProtocolProtocolFinish(int errorCode) {
    SetSending(false);
    // A failed transfer ends like a good one, but the exit code tells the caller. A finish that
    // comes after the window has closed (the exit button cancelled the transfer) changes nothing.
    if (!closed_ && exitCode_ == 0) {
        if (transferEndHook_) {
            exitCode_ = transferEndHook_(errorCode);
        } else if (errorCode != 0) {
            // Unattended runs have no one watching the window: say why on the standard error.
            std::fprintf(stderr, "kavodown: transfer failed: %s (%d)\n", ErrorText(errorCode).c_str(),
                         errorCode);
            exitCode_ = 2;
        }
    }
    // The window closes even when the port refuses to: an unattended run must end.
    try {
        Tevo->SetOpen(false);
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    }
    close();
}

void TFMain::TevoTriggerAvail(int count) {
    try {
        link_->OnAvail(count);
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    }
}

std::string TFMain::MakePacket(unsigned char cmd, const std::string& data) {
    return BuildPacket(cmd, data);
}
bool TFMain::SendData(const std::string& data) { return link_->SendData(data); }
int TFMain::SendCmd(unsigned char cmd, const std::u16string& data) {
    return link_->SendCmd(cmd, data);
}
int TFMain::WaitData(const std::string& alternatives, int timeoutMs, char separator) {
    return link_->WaitData(alternatives, timeoutMs, separator);
}

void TFMain::FormClose() { ApdProtocol->CancelTransfer(); }

void TFMain::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    const std::string ini = Bytes(iniPath_);
    if (ini.empty()) return;  // start-up never got as far as the settings
    WriteIni("OPTION", "PORT", std::to_string(PortItemIndex()), ini);
    WriteIni("OPTION", "FNAME", Bytes(EDT_FName->text()), ini);
}

void TFMain::closeEvent(QCloseEvent* event) {
    closing_ = true;
    try {
        FormClose();
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    }
    event->accept();
    closed_ = true;
    emit closed();
}

void TFMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (centred_) return;
    centred_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void ShowComponentErrorsIn(TFMain& window) {
    SetExceptionDisplay([&window](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            window.ShowError(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            window.ShowError(QStringLiteral("Unexpected error"));
        }
    });
}

}  // namespace kavo
