#include "status/meter.h"

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

    if (h <= 4 || step_ <= 0) return;
    // Blocks span x from k * Step + 2 up to (k + 1) * Step and y from 2 up to H - 2.
    for (int k = 0; k < drawn_.blocks; ++k) {
        painter.fillRect(QRect(k * step_ + 2, 2, step_ - 2, h - 4), barColor_);
    }
    if (drawn_.partial && drawn_.rest > 0) {
        // One step right of the last whole block's left edge (at Step when there is none).
        const int left = drawn_.blocks > 0 ? (drawn_.blocks - 1) * step_ + 2 + step_ : step_;
        painter.fillRect(QRect(left, 2, drawn_.rest, h - 4), barColor_);
    }
}

}  // namespace kavo
