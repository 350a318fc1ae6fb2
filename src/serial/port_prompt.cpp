// The serial headers come before any Qt header: Qt defines "signals" as a macro.
#include "serial/com_port.h"
#include "serial/errors.h"
#include "serial/native_dispatcher.h"

#include "serial/port_prompt.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cctype>
#include <string>

namespace kavo {

TComSelectForm::TComSelectForm(QWidget* owner) : QDialog(owner) {
    setWindowTitle("Select Port");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(220, 131);
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 42);

    Label1 = new QLabel("The configured serial port is not valid.", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(18, 14, 176, 13);
    Label2 = new QLabel("Please choose another port.", this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(18, 30, 133, 13);

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 64, 201, 21);

    OkBtn = new QPushButton("OK", this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setGeometry(8, 95, 85, 27);
    OkBtn->setDefault(true);
    OkBtn->setAutoDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });

    AbortBtn = new QPushButton("Cancel", this);
    AbortBtn->setObjectName("AbortBtn");
    AbortBtn->setGeometry(124, 95, 85, 27);
    AbortBtn->setAutoDefault(false);
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

    // The layout is drawn for an 8-point system font; where the fallback font runs wider, widen
    // the dialog so that no text is cut.
    QFontMetrics metrics(Label1->font());
    int needed = std::max(18 + metrics.horizontalAdvance(Label1->text()) + 4,
                          18 + metrics.horizontalAdvance(Label2->text()) + 4);
    int extra = std::max(0, needed + 15 - (8 + 201));  // keep the labels' margin inside the bevel
    if (extra > 0) {
        setFixedSize(220 + extra, 131);
        Bevel1->resize(201 + extra, 42);
        Label1->resize(std::max(176, needed - 18), 13);
        Label2->resize(std::max(133, needed - 18), 13);
        PortsComboBox->resize(201 + extra, 21);
        AbortBtn->move(124 + extra, 95);
    }
    Label1->setMinimumHeight(metrics.height());
    Label2->setMinimumHeight(metrics.height());

    setTabOrder(OkBtn, AbortBtn);
    setTabOrder(AbortBtn, PortsComboBox);
    OkBtn->setFocus();

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    FormCreate();
}

void TComSelectForm::FormCreate() {
    for (int n = 1; n <= kPromptMaxPort; ++n)
        if (PortAvailable(n)) PortsComboBox->addItem(QString("COM%1").arg(n));
    if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
}

void TComSelectForm::reject() { done(mrCancel); }

int TComSelectForm::SelectedComNumber() const {
    std::string text = PortsComboBox->currentIndex() >= 0 ? PortsComboBox->currentText().toStdString() : "";
    std::string digits = text.size() > 3 ? text.substr(3) : "";
    std::size_t start = (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) ? 1 : 0;
    bool valid = digits.size() > start && digits.size() - start <= 9;
    for (std::size_t i = start; valid && i < digits.size(); ++i)
        valid = std::isdigit(static_cast<unsigned char>(digits[i])) != 0;
    if (!valid) throw EConvertError("'" + digits + "' is not a valid integer value");
    return std::stoi(digits);
}

void InstallPortPrompt() {
    SetPortPromptHook([]() -> std::optional<int> {
        TComSelectForm form;
        if (form.exec() != mrOk) return std::nullopt;
        return form.SelectedComNumber();
    });
}

}  // namespace kavo
