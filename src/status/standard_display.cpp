#include "status/standard_display.h"

#include "serial/com_port.h"
#include "transfer/protocol.h"

#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <exception>

namespace kavo {

namespace {

constexpr int kClientWidth = 468;
constexpr int kClientHeight = 319;
// The value fields of the four figure panels end 8 pixels inside the panel's right edge, where
// their placeholders end in the designed font.
constexpr int kValueRightEdge = 209;
constexpr const char* kRightEdgeProperty = "kavoRightEdge";
constexpr const char* kDesignedLeftProperty = "kavoDesignedLeft";

// One value field of the four figure panels: its caption label, its value label (both named as
// in the designed window), where they stand, the text the value holds before the first update,
// and which of the status texts it shows.
struct TFieldLayout {
    int panel;  // 0..3: top left, top right, bottom left, bottom right
    const char* labelName;
    int top;
    const char* caption;
    const char* valueName;
    int valueLeft;
    const char* placeholder;
    std::string TStatusTexts::*text;
};

// clang-format off
constexpr TFieldLayout kFields[] = {
    {0, "psLabel1",   8, "Protocol:",          "psProtocol",          148, "NoProtocol",      &TStatusTexts::protocol},
    {0, "psLabel2",  24, "Block check:",       "psBlockCheck",        128, "NoBlockCheck",    &TStatusTexts::blockCheck},
    {0, "psLabel3",  40, "File name:",         "psFileName",          159, "NoName",          &TStatusTexts::fileName},
    {0, "psLabel4",  57, "File size:",         "psFileSize",          116, "999,999,999,999", &TStatusTexts::fileSize},
    {0, "psLabel5",  73, "Block size:",        "psBlockSize",         181, "1024",            &TStatusTexts::blockSize},
    {0, "psLabel6",  89, "Total Blocks:",      "psTotalBlocks",       116, "999,999,999,999", &TStatusTexts::totalBlocks},
    {1, "psLabel13",  8, "Bytes transferred:", "psBytesTransferred",  115, "999,999,999,999", &TStatusTexts::bytesTransferred},
    {1, "psLabel14", 24, "Bytes remaining:",   "psBytesRemaining",    115, "999,999,999,999", &TStatusTexts::bytesRemaining},
    {1, "psLabel15", 40, "Blocks transferred:", "psBlocksTransferred", 115, "999,999,999,999", &TStatusTexts::blocksTransferred},
    {1, "psLabel16", 56, "Blocks remaining:",  "psBlocksRemaining",   115, "999,999,999,999", &TStatusTexts::blocksRemaining},
    {1, "psLabel17", 72, "Block errors:",      "psBlockErrors",       163, "999,999",         &TStatusTexts::blockErrors},
    {1, "psLabel18", 88, "Total errors:",      "psTotalErrors",       163, "999,999",         &TStatusTexts::totalErrors},
    {2, "psLabel7",   8, "Estimated time:",    "psEstimatedTime",     163, "9999:99",         &TStatusTexts::estimatedTime},
    {2, "psLabel8",  25, "Elapsed time:",      "psElapsedTime",       163, "9999:99",         &TStatusTexts::elapsedTime},
    {2, "psLabel9",  41, "Remaining time:",    "psRemainingTime",     163, "9999:99",         &TStatusTexts::remainingTime},
    {3, "psLabel10",  8, "Throughput:",        "psThroughput",        145, "99999 CPS",       &TStatusTexts::throughput},
    {3, "psLabel11", 25, "Efficiency:",        "psEfficiency",        173, "100 %",           &TStatusTexts::efficiency},
    {3, "psLabel12", 41, "Kermit windows:",    "psKermitWindows",     177, "99/99",           &TStatusTexts::kermitWindows},
};
// clang-format on
static_assert(std::size(kFields) == TStandardDisplay::kValueFieldCount);

QFont DisplayFont() {
    QFont font;
    // Arial where it is installed; otherwise a Hangul-capable sans-serif of similar metrics
    // rather than whatever the system would substitute.
    font.setFamilies({"Arial", "NanumGothic", "Liberation Sans"});
    font.setPixelSize(12);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace

TStandardDisplay::TStandardDisplay(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("StandardDisplay");
    setFixedSize(kClientWidth, kClientHeight);
    setFont(DisplayFont());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    QFrame* figurePanels[] = {
        AddPanel("psPanel1", 8, 8, 217, 113),
        AddPanel("psPanel2", 240, 8, 217, 113),
        AddPanel("psPanel3", 8, 128, 217, 65),
        AddPanel("psPanel4", 240, 128, 217, 65),
    };
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        const TFieldLayout& field = kFields[i];
        QFrame* panel = figurePanels[field.panel];
        AddLabel(panel, field.labelName, 8, field.top, field.caption);
        values_[i] = AddValue(panel, field.valueName, field.valueLeft, field.top, field.placeholder);
    }

    QFrame* p5 = AddPanel("psPanel5", 8, 200, 449, 33);
    AddLabel(p5, "psLabel22", 8, 9, "Status:");
    psStatusMsg_ = new QLabel(p5);
    psStatusMsg_->setObjectName("psStatusMsg");
    psStatusMsg_->setTextFormat(Qt::PlainText);
    psStatusMsg_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    psStatusMsg_->setText("OK");
    psStatusMsg_->setGeometry(56, 9, 449 - 56 - 8, fontMetrics().height());

    QFrame* p6 = AddPanel("psPanel6", 8, 240, 449, 33);
    AddLabel(p6, "psLabel19", 8, 9, "Progress:");
    meter_ = new TApdMeter(p6);
    meter_->setObjectName("psMeter");
    meter_->setGeometry(64, 7, 377, 20);
    meter_->SetStep(10);
    meter_->SetPosition(0);

    psCancel_ = new QPushButton("Cancel", this);
    psCancel_->setObjectName("psCancel");
    psCancel_->setGeometry(189, 285, 89, 27);
    connect(psCancel_, &QPushButton::clicked, this, [this] { CancelClick(); });

    Place();
}

TStandardDisplay::~TStandardDisplay() = default;

QFrame* TStandardDisplay::AddPanel(const char* name, int left, int top, int width, int height) {
    auto* panel = new QFrame(this);
    panel->setObjectName(name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    panel->setGeometry(left, top, width, height);
    for (QFrame*& slot : panels_) {
        if (!slot) {
            slot = panel;
            break;
        }
    }
    return panel;
}

void TStandardDisplay::AddLabel(QWidget* parent, const char* name, int left, int top,
                                const char* caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->move(left, top);
    label->adjustSize();
}

QLabel* TStandardDisplay::AddValue(QWidget* parent, const char* name, int left, int top,
                                   const char* placeholder) {
    auto* field = new QLabel(parent);
    field->setObjectName(name);
    field->setTextFormat(Qt::PlainText);
    field->setAlignment(Qt::AlignRight | Qt::AlignTop);
    field->setProperty(kRightEdgeProperty, kValueRightEdge);
    field->setProperty(kDesignedLeftProperty, left);
    field->setGeometry(left, top, kValueRightEdge - left, fontMetrics().height());
    SetValue(field, placeholder);
    return field;
}

void TStandardDisplay::SetValue(QLabel* field, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (field->text() == value) return;
    field->setText(value);
    // Keep the right edge; a text wider than the field's designed room extends it to the left.
    const int right = field->property(kRightEdgeProperty).toInt();
    const int designedLeft = field->property(kDesignedLeftProperty).toInt();
    const int needed = field->fontMetrics().horizontalAdvance(value) + 1;
    const int left = std::max(0, std::min(designedLeft, right - needed));
    field->setGeometry(left, field->y(), right - left, field->height());
}

void TStandardDisplay::UpdateValues(TApdCustomProtocol* protocol) {
    if (protocol) ShowFigures(FiguresOf(*protocol));
}

void TStandardDisplay::CancelClick() {
    if (!protocol_) return;
    try {
        protocol_->CancelTransfer();
    } catch (...) {
        // Nothing may escape into the toolkit's event loop: the application's error display
        // shows it, as for any event handler that fails.
        ShowException(std::current_exception());
    }
}

void TStandardDisplay::ShowFigures(const TStatusFigures& figures) {
    const TStatusTexts t = StatusTexts(figures);
    for (std::size_t i = 0; i < std::size(kFields); ++i) SetValue(values_[i], t.*kFields[i].text);
    psStatusMsg_->setText(QString::fromStdString(t.statusMsg));
    meter_->SetMin(0);
    meter_->SetMax(100);
    meter_->SetPosition(t.meterPosition);
}

void TStandardDisplay::SetWindowPosition(TPosition position) {
    position_ = position;
    if (isVisible()) Place();
}

void TStandardDisplay::SetWindowCtl3D(bool on) {
    ctl3D_ = on;
    for (QFrame* panel : panels_) {
        if (panel) panel->setFrameShadow(on ? QFrame::Raised : QFrame::Plain);
    }
}

void TStandardDisplay::SetWindowVisible(bool on) {
    if (on && !isVisible()) Place();
    setVisible(on);
}

std::string TStandardDisplay::WindowCaption() const { return windowTitle().toStdString(); }

void TStandardDisplay::SetWindowCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

void TStandardDisplay::Place() {
    switch (position_) {
        case TPosition::poDesigned:
        case TPosition::poDefaultSizeOnly:
            move(kDesignedLeft, kDesignedTop);
            break;
        case TPosition::poScreenCenter:
        case TPosition::poDesktopCenter:
        case TPosition::poMainFormCenter:
        case TPosition::poOwnerFormCenter:
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                const QRect area = screen->availableGeometry();
                move(area.center() - QPoint(width() / 2, height() / 2));
            }
            break;
        case TPosition::poDefault:
        case TPosition::poDefaultPosOnly:
            break;  // the window system places it
    }
}

}  // namespace kavo
