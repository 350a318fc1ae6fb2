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

    QFrame* p1 = AddPanel("psPanel1", 8, 8, 217, 113);
    AddLabel(p1, "psLabel1", 8, 8, "Protocol:");
    psProtocol_ = AddValue(p1, "psProtocol", 148, 8, "NoProtocol");
    AddLabel(p1, "psLabel2", 8, 24, "Block check:");
    psBlockCheck_ = AddValue(p1, "psBlockCheck", 128, 24, "NoBlockCheck");
    AddLabel(p1, "psLabel3", 8, 40, "File name:");
    psFileName_ = AddValue(p1, "psFileName", 159, 40, "NoName");
    AddLabel(p1, "psLabel4", 8, 57, "File size:");
    psFileSize_ = AddValue(p1, "psFileSize", 116, 57, "999,999,999,999");
    AddLabel(p1, "psLabel5", 8, 73, "Block size:");
    psBlockSize_ = AddValue(p1, "psBlockSize", 181, 73, "1024");
    AddLabel(p1, "psLabel6", 8, 89, "Total Blocks:");
    psTotalBlocks_ = AddValue(p1, "psTotalBlocks", 116, 89, "999,999,999,999");

    QFrame* p2 = AddPanel("psPanel2", 240, 8, 217, 113);
    AddLabel(p2, "psLabel13", 8, 8, "Bytes transferred:");
    psBytesTransferred_ = AddValue(p2, "psBytesTransferred", 115, 8, "999,999,999,999");
    AddLabel(p2, "psLabel14", 8, 24, "Bytes remaining:");
    psBytesRemaining_ = AddValue(p2, "psBytesRemaining", 115, 24, "999,999,999,999");
    AddLabel(p2, "psLabel15", 8, 40, "Blocks transferred:");
    psBlocksTransferred_ = AddValue(p2, "psBlocksTransferred", 115, 40, "999,999,999,999");
    AddLabel(p2, "psLabel16", 8, 56, "Blocks remaining:");
    psBlocksRemaining_ = AddValue(p2, "psBlocksRemaining", 115, 56, "999,999,999,999");
    AddLabel(p2, "psLabel17", 8, 72, "Block errors:");
    psBlockErrors_ = AddValue(p2, "psBlockErrors", 163, 72, "999,999");
    AddLabel(p2, "psLabel18", 8, 88, "Total errors:");
    psTotalErrors_ = AddValue(p2, "psTotalErrors", 163, 88, "999,999");

    QFrame* p3 = AddPanel("psPanel3", 8, 128, 217, 65);
    AddLabel(p3, "psLabel7", 8, 8, "Estimated time:");
    psEstimatedTime_ = AddValue(p3, "psEstimatedTime", 163, 8, "9999:99");
    AddLabel(p3, "psLabel8", 8, 25, "Elapsed time:");
    psElapsedTime_ = AddValue(p3, "psElapsedTime", 163, 25, "9999:99");
    AddLabel(p3, "psLabel9", 8, 41, "Remaining time:");
    psRemainingTime_ = AddValue(p3, "psRemainingTime", 163, 41, "9999:99");

    QFrame* p4 = AddPanel("psPanel4", 240, 128, 217, 65);
    AddLabel(p4, "psLabel10", 8, 8, "Throughput:");
    psThroughput_ = AddValue(p4, "psThroughput", 145, 8, "99999 CPS");
    AddLabel(p4, "psLabel11", 8, 25, "Efficiency:");
    psEfficiency_ = AddValue(p4, "psEfficiency", 173, 25, "100 %");
    AddLabel(p4, "psLabel12", 8, 41, "Kermit windows:");
    psKermitWindows_ = AddValue(p4, "psKermitWindows", 177, 41, "99/99");

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

TStatusFigures FiguresOf(const TApdCustomProtocol& protocol) {
    TStatusFigures f;
    f.protocolType = static_cast<int>(protocol.ProtocolType());
    f.blockCheck = static_cast<int>(protocol.BlockCheckMethod());
    f.fileName = protocol.FileName();
    f.fileLength = protocol.FileLength();
    f.blockLength = protocol.BlockLength();
    f.bytesTransferred = protocol.BytesTransferred();
    f.bytesRemaining = protocol.BytesRemaining();
    f.initialOffset = protocol.InitialOffset();
    f.blockErrors = protocol.BlockErrors();
    f.totalErrors = protocol.TotalErrors();
    f.estimatedSecs = protocol.EstimateTransferSecs(f.fileLength);
    f.remainingSecs = protocol.EstimateTransferSecs(f.bytesRemaining);
    f.elapsedTicks = protocol.ElapsedTicks();
    f.bitRate = protocol.BitRate();
    f.kermitWindows = protocol.KermitWindows();
    f.statusText = TApdCustomProtocol::StatusMessage(protocol.Status());
    return f;
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
    SetValue(psProtocol_, t.protocol);
    SetValue(psBlockCheck_, t.blockCheck);
    SetValue(psFileName_, t.fileName);
    SetValue(psFileSize_, t.fileSize);
    SetValue(psBlockSize_, t.blockSize);
    SetValue(psTotalBlocks_, t.totalBlocks);
    SetValue(psBytesTransferred_, t.bytesTransferred);
    SetValue(psBytesRemaining_, t.bytesRemaining);
    SetValue(psBlocksTransferred_, t.blocksTransferred);
    SetValue(psBlocksRemaining_, t.blocksRemaining);
    SetValue(psBlockErrors_, t.blockErrors);
    SetValue(psTotalErrors_, t.totalErrors);
    SetValue(psEstimatedTime_, t.estimatedTime);
    SetValue(psElapsedTime_, t.elapsedTime);
    SetValue(psRemainingTime_, t.remainingTime);
    SetValue(psThroughput_, t.throughput);
    SetValue(psEfficiency_, t.efficiency);
    SetValue(psKermitWindows_, t.kermitWindows);
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
