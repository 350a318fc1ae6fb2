#include "app/qt/main_window.h"

#include "app/qt/button_pictures.h"
#include "status/protocol_status.h"

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

QString Q(const std::string& text) { return QString::fromStdString(text); }

void Name(QObject* object, const char* name) { object->setObjectName(QLatin1String(name)); }

}  // namespace

TFMain::TFMain(const QStringList& arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    BuildControls();
    sequence_ = std::make_unique<TDownloadSequence>(*this, [this](TComponent* owner) {
        ApdProtocolStatus1 = new TApdProtocolStatus(owner);
        return ApdProtocolStatus1;
    });
    sequence_->SetOnClosed([this] { emit closed(); });
    std::vector<std::string> positional;
    for (const QString& argument : arguments) positional.push_back(argument.toStdString());
    sequence_->FormCreate(positional);
}

TFMain::~TFMain() {
    // The sequence saves the settings from the controls, so it goes while they are still there.
    sequence_.reset();
}

void TFMain::Forward(void (TDownloadSequence::*handler)()) {
    sequence_->Guard([this, handler] { ((*sequence_).*handler)(); });
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

    BuildConnectionGroup();
    BuildFileGroup();

    BT_SEND = new QPushButton(SendPicture(), QStringLiteral("  전     송"), this);
    Name(BT_SEND, "BT_SEND");
    BT_SEND->setGeometry(244, 161, 129, 41);
    BT_SEND->setIconSize(QSize(32, 32));
    connect(BT_SEND, &QPushButton::clicked, this, [this] { Forward(&TDownloadSequence::BT_SENDClick); });

    CB_USB = new QCheckBox(QStringLiteral("USB Mode"), this);
    Name(CB_USB, "CB_USB");
    CB_USB->setGeometry(16, 176, 97, 17);
    CB_USB->setEnabled(false);

    CB_DDD = new QCheckBox(QStringLiteral("DDD Start"), this);
    Name(CB_DDD, "CB_DDD");
    CB_DDD->setGeometry(120, 176, 97, 17);

    OpenDialog1 = new QFileDialog(this);
    Name(OpenDialog1, "OpenDialog1");
    // "*.*" means every file here, as it does on the system the tool comes from.
    OpenDialog1->setNameFilter(QStringLiteral("*.* (*)"));
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
}

void TFMain::BuildConnectionGroup() {
    GroupBox1 = new QGroupBox(QStringLiteral(" 연결 "), this);
    Name(GroupBox1, "GroupBox1");
    GroupBox1->setGeometry(8, 8, 489, 65);

    Label1 = new QLabel(QStringLiteral("포트"), GroupBox1);
    Name(Label1, "Label1");
    Label1->move(24, 24);
    Label1->adjustSize();

    CB_PORT = new QComboBox(GroupBox1);
    Name(CB_PORT, "CB_PORT");
    CB_PORT->setEditable(true);
    CB_PORT->setInsertPolicy(QComboBox::NoInsert);
    CB_PORT->setGeometry(71, 20, 41, 21);
    // The operator's changes only: typing in the box, or choosing an entry that shows another
    // text. The box also reports "activated" for the text it already shows (when it loses the
    // focus to another window, for one), which must not close a port in use.
    connect(CB_PORT, &QComboBox::textActivated, this, [this](const QString& text) {
        if (text.toStdString() != sequence_->AppliedPortText()) {
            Forward(&TDownloadSequence::CB_PORTChange);
        }
    });
    connect(CB_PORT->lineEdit(), &QLineEdit::textEdited, this,
            [this] { Forward(&TDownloadSequence::CB_PORTChange); });

    Lab_Msg = new QLabel(GroupBox1);
    Name(Lab_Msg, "Lab_Msg");
    Lab_Msg->move(144, 25);
    QFont msgFont = GulimFont(13);
    msgFont.setBold(true);
    Lab_Msg->setFont(msgFont);
    QPalette red = Lab_Msg->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Lab_Msg->setPalette(red);
    Lab_Msg->resize(230, 16);

    BT_EXIT = new QPushButton(ExitPicture(), QStringLiteral("종료"), GroupBox1);
    Name(BT_EXIT, "BT_EXIT");
    BT_EXIT->setGeometry(384, 17, 85, 34);
    BT_EXIT->setIconSize(QSize(24, 24));
    connect(BT_EXIT, &QPushButton::clicked, this, [this] { Forward(&TDownloadSequence::BT_EXITClick); });
}

void TFMain::BuildFileGroup() {
    GroupBox2 = new QGroupBox(QStringLiteral(" 파일선택 "), this);
    Name(GroupBox2, "GroupBox2");
    GroupBox2->setGeometry(8, 80, 489, 73);

    EDT_FName = new QLineEdit(GroupBox2);
    Name(EDT_FName, "EDT_FName");
    EDT_FName->setGeometry(15, 23, 426, 18);
    EDT_FName->setFont(GulimFont(12));

    BT_FILE = new QPushButton(FilePicture(), QString(), GroupBox2);
    Name(BT_FILE, "BT_FILE");
    BT_FILE->setGeometry(448, 24, 33, 33);
    BT_FILE->setIconSize(QSize(24, 24));
    connect(BT_FILE, &QPushButton::clicked, this, [this] { Forward(&TDownloadSequence::BT_FILEClick); });

    Pbar = new QProgressBar(GroupBox2);
    Name(Pbar, "Pbar");
    Pbar->setGeometry(16, 53, 425, 12);
    Pbar->setRange(0, 100);
    Pbar->setValue(0);
    Pbar->setTextVisible(false);
    Pbar->hide();
}

void TFMain::SetPortItems(const std::vector<TPortItem>& items) {
    CB_PORT->clear();
    for (const TPortItem& item : items) {
        CB_PORT->addItem(Q(item.text));
        if (!item.device.empty()) {
            CB_PORT->setItemData(CB_PORT->count() - 1, Q(item.device), Qt::ToolTipRole);
        }
    }
}

std::string TFMain::PortText() const { return CB_PORT->currentText().toStdString(); }
void TFMain::SetPortText(const std::string& text) { CB_PORT->setEditText(Q(text)); }

void TFMain::SelectPortItem(int index) {
    CB_PORT->setCurrentIndex(index);
    if (CB_PORT->currentIndex() < 0) CB_PORT->setEditText(QString());
}

std::string TFMain::FileName() const { return EDT_FName->text().toStdString(); }
void TFMain::SetFileName(const std::string& path) { EDT_FName->setText(Q(path)); }
bool TFMain::UsbChecked() const { return CB_USB->isChecked(); }
void TFMain::SetUsbChecked(bool on) { CB_USB->setChecked(on); }
bool TFMain::DddChecked() const { return CB_DDD->isChecked(); }
void TFMain::SetDddChecked(bool on) { CB_DDD->setChecked(on); }

void TFMain::SetMessage(const std::string& text) {
    Lab_Msg->setText(Q(text));
    Lab_Msg->adjustSize();
}

void TFMain::SetProgressMax(int maximum) { Pbar->setMaximum(maximum); }

void TFMain::SetProgressPosition(int position) {
    Pbar->setValue(position);
    Pbar->repaint();
}

void TFMain::SetSendEnabled(bool on) {
    BT_SEND->setEnabled(on);
    CB_PORT->setEnabled(on);
}

void TFMain::SetDialogFolder(const std::string& folder) { OpenDialog1->setDirectory(Q(folder)); }

std::optional<std::string> TFMain::ChooseFile() {
    if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return OpenDialog1->selectedFiles().first().toStdString();
}

void TFMain::ShowErrorBox(const std::string& text) {
    QMessageBox::critical(this, QStringLiteral("KavoDown"), Q(text));
}

void TFMain::CloseWindow() { close(); }

bool TFMain::Attended() const {
    return isVisible() && !isMinimized() &&
           QGuiApplication::platformName() != QLatin1String("offscreen");
}

void TFMain::closeEvent(QCloseEvent* event) {
    // The window system's close (there is no close box, but a desktop may close it anyway) goes
    // the same way as the sequence's own.
    event->accept();
    if (sequence_) sequence_->Close();
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

}  // namespace kavo
