#include "status/qt/meter.h"

#include <QPainter>
#include <QPalette>

namespace kavo {

TApdMeter::TApdMeter(QWidget* parent) : QWidget(parent) {
    const QPalette& colours = palette();
    barColor_ = colours.color(QPalette::Active, QPalette::Highlight);
    bevelColor1_ = colours.color(QPalette::Active, QPalette::Light);
    bevelColor2_ = colours.color(QPalette::Active, QPalette::Dark);
    resize(150, 16);
}

void TApdMeter::SetBarColor(const QColor& color) {
    if (color == barColor_) return;
    barColor_ = color;
    update();
}

void TApdMeter::SetBevelColor1(const QColor& color) {
    if (color == bevelColor1_) return;
    bevelColor1_ = color;
    update();
}

void TApdMeter::SetBevelColor2(const QColor& color) {
    if (color == bevelColor2_) return;
    bevelColor2_ = color;
    update();
}

void TApdMeter::SetBevelStyle(TBevelStyle style) {
    if (style == bevelStyle_) return;
    bevelStyle_ = style;
    update();
}

void TApdMeter::SetPosition(int value) {
    if (value == position_) return;
    position_ = value;
    Recalculate(TRecalcCause::rcPosition);
}

void TApdMeter::SetStep(int value) {
    if (value == step_) return;
    step_ = value;
    Recalculate(TRecalcCause::rcStep);
}

void TApdMeter::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Recalculate(TRecalcCause::rcResize);
}

void TApdMeter::Recalculate(TRecalcCause cause) {
    const TMeterBlocks next = MeterBlocks(width(), min_, max_, position_, step_);
    const bool changed = next.blocks != drawn_.blocks || next.partial != drawn_.partial;
    drawn_ = next;
    if (changed) {
        update();
        if (onPosChange_) onPosChange_();
    } else if (cause != TRecalcCause::rcPosition) {
        update();
    }
}

void TApdMeter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int w = width();
    const int h = height();

    if (bevelStyle_ != TBevelStyle::bsNone) {
        const bool lowered = bevelStyle_ == TBevelStyle::bsLowered;
        const QColor& topLeft = lowered ? bevelColor2_ : bevelColor1_;
        const QColor& bottomRight = lowered ? bevelColor1_ : bevelColor2_;
        painter.setPen(QPen(topLeft, 1));
        painter.drawLine(0, h - 1, 0, 0);
        painter.drawLine(0, 0, w - 1, 0);
        painter.setPen(QPen(bottomRight, 1));
        painter.drawLine(w - 1, 0, w - 1, h - 1);
        painter.drawLine(w - 1, h - 1, 0, h - 1);
    }

    for (const TMeterRect& r : MeterBarRects(h, step_, drawn_))
        painter.fillRect(QRect(r.left, r.top, r.width, r.height), barColor_);
}

}  // namespace kavo
