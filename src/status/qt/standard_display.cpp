#include "status/qt/standard_display.h"

#include "transfer/protocol.h"

#include <QCoreApplication>
#include <QEvent>
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
#include <memory>

namespace kavo {

namespace {

constexpr const char* kRightEdgeProperty = "kavoRightEdge";
constexpr const char* kDesignedLeftProperty = "kavoDesignedLeft";

QFont DisplayFont() {
    QFont font;
    // Arial where it is installed; otherwise a Hangul-capable sans-serif of similar metrics
    // rather than whatever the system would substitute.
    font.setFamilies({"Arial", "NanumGothic", "Liberation Sans"});
    font.setPixelSize(kStatusFontPixels);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace

TStandardDisplay::TStandardDisplay(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("StandardDisplay");
    setFixedSize(kStatusClientWidth, kStatusClientHeight);
    setFont(DisplayFont());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    QFrame* panels[std::size(kStatusPanels)];
    for (std::size_t i = 0; i < std::size(kStatusPanels); ++i) {
        const TStatusPanelLayout& p = kStatusPanels[i];
        panels[i] = AddPanel(p.name, p.left, p.top, p.width, p.height);
    }
    for (std::size_t i = 0; i < kStatusFieldCount; ++i) {
        const TStatusFieldLayout& field = kStatusFields[i];
        QFrame* panel = panels[field.panel];
        AddLabel(panel, field.labelName, 8, field.top, field.caption);
        values_[i] = AddValue(panel, field.valueName, field.valueLeft, field.top, field.placeholder);
    }

    QFrame* p5 = panels[4];
    AddLabel(p5, kStatusLabel.labelName, kStatusLabel.labelLeft, kStatusLabel.labelTop,
             kStatusLabel.caption);
    psStatusMsg_ = new QLabel(p5);
    psStatusMsg_->setObjectName("psStatusMsg");
    psStatusMsg_->setTextFormat(Qt::PlainText);
    psStatusMsg_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    psStatusMsg_->setText("OK");
    psStatusMsg_->setGeometry(kStatusMsgLeft, kStatusMsgTop, p5->width() - kStatusMsgLeft - 8,
                              fontMetrics().height());

    QFrame* p6 = panels[5];
    AddLabel(p6, kProgressLabel.labelName, kProgressLabel.labelLeft, kProgressLabel.labelTop,
             kProgressLabel.caption);
    meter_ = new TApdMeter(p6);
    meter_->setObjectName("psMeter");
    meter_->setGeometry(kMeterLeft, kMeterTop, kMeterWidth, kMeterHeight);
    meter_->SetStep(kMeterStep);
    meter_->SetPosition(0);

    psCancel_ = new QPushButton("Cancel", this);
    psCancel_->setObjectName("psCancel");
    psCancel_->setGeometry(kCancelLeft, kCancelTop, kCancelWidth, kCancelHeight);
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
    field->setProperty(kRightEdgeProperty, kStatusValueRightEdge);
    field->setProperty(kDesignedLeftProperty, left);
    field->setGeometry(left, top, kStatusValueRightEdge - left, fontMetrics().height());
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

void TStandardDisplay::CancelClick() { CancelStatusTransfer(protocol_); }

void TStandardDisplay::ShowFigures(const TStatusFigures& figures) {
    const TStatusTexts t = StatusTexts(figures);
    for (std::size_t i = 0; i < kStatusFieldCount; ++i) SetValue(values_[i], t.*kStatusFields[i].text);
    psStatusMsg_->setText(QString::fromStdString(t.statusMsg));
    meter_->SetMin(0);
    meter_->SetMax(100);
    meter_->SetPosition(t.meterPosition);
}

// The fields whose text changed have asked for their repaint already; it is done now instead of
// at the next idle moment. The rest of the window looks as it did, so it is not painted again:
// the transfer's thread waits for this report, and the whole window costs it about twice as long.
void TStandardDisplay::Repaint() { QCoreApplication::sendPostedEvents(this, QEvent::UpdateRequest); }

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
            move(kStatusDesignedLeft, kStatusDesignedTop);
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

std::unique_ptr<TStatusView> MakeStandardDisplay() { return std::make_unique<TStandardDisplay>(); }

TStandardDisplay* StandardDisplayOf(const TApdProtocolStatus& status) {
    return dynamic_cast<TStandardDisplay*>(status.View());
}

}  // namespace kavo
