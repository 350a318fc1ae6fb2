// A progress meter drawn as a row of blocks inside a bevel.
//
// The meter draws `Blocks` solid blocks of Step - 2 pixels with 2-pixel gaps, and, when the next
// block would not fit, a partial block that fills the rest. It recalculates when its position,
// its step or its size change; OnPosChange is raised whenever the drawn picture changes.
//
// Thread safety: a widget; use it on the user-interface thread only.
#pragma once

#include "status/status_rules.h"

#include <QColor>
#include <QWidget>

#include <functional>

namespace kavo {

enum class TBevelStyle { bsLowered, bsRaised, bsNone };

class TApdMeter : public QWidget {
    Q_OBJECT
public:
    explicit TApdMeter(QWidget* parent = nullptr);

    QColor BarColor() const { return barColor_; }
    void SetBarColor(const QColor& color);
    QColor BevelColor1() const { return bevelColor1_; }
    void SetBevelColor1(const QColor& color);
    QColor BevelColor2() const { return bevelColor2_; }
    void SetBevelColor2(const QColor& color);
    TBevelStyle BevelStyle() const { return bevelStyle_; }
    void SetBevelStyle(TBevelStyle style);
    // Max and Min are stored only; they take effect at the next recalculation.
    int Max() const { return max_; }
    void SetMax(int value) { max_ = value; }
    int Min() const { return min_; }
    void SetMin(int value) { min_ = value; }
    int Position() const { return position_; }
    void SetPosition(int value);
    int Step() const { return step_; }
    void SetStep(int value);

    const std::function<void()>& OnPosChange() const { return onPosChange_; }
    void SetOnPosChange(std::function<void()> handler) { onPosChange_ = std::move(handler); }

    // What the last recalculation decided to draw.
    int Blocks() const { return drawn_.blocks; }
    bool Partial() const { return drawn_.partial; }
    int Rest() const { return drawn_.rest; }

    QSize sizeHint() const override { return {150, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    enum class TRecalcCause { rcPosition, rcStep, rcResize };
    void Recalculate(TRecalcCause cause);

    QColor barColor_;
    QColor bevelColor1_;
    QColor bevelColor2_;
    TBevelStyle bevelStyle_ = TBevelStyle::bsLowered;
    int max_ = 100;
    int min_ = 0;
    int position_ = 0;
    int step_ = 8;
    std::function<void()> onPosChange_;
    TMeterBlocks drawn_;
};

}  // namespace kavo
