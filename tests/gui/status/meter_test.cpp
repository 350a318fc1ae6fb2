#include "status/qt/meter.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace kavo {
namespace {

QImage Render(TApdMeter& meter) {
    QImage image(meter.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    meter.render(&image);
    return image;
}

// Columns of row y that carry the bar colour, as runs [start, end).
std::vector<std::pair<int, int>> BarRuns(const QImage& image, int y, QColor bar) {
    std::vector<std::pair<int, int>> runs;
    int start = -1;
    for (int x = 0; x <= image.width(); ++x) {
        const bool on = x < image.width() && image.pixelColor(x, y) == bar;
        if (on && start < 0) start = x;
        if (!on && start >= 0) {
            runs.emplace_back(start, x);
            start = -1;
        }
    }
    return runs;
}

TEST(Meter, CreationValues) {
    TApdMeter meter;
    EXPECT_EQ(meter.size(), QSize(150, 16));
    EXPECT_EQ(meter.Min(), 0);
    EXPECT_EQ(meter.Max(), 100);
    EXPECT_EQ(meter.Position(), 0);
    EXPECT_EQ(meter.Step(), 8);
    EXPECT_EQ(meter.BevelStyle(), TBevelStyle::bsLowered);
    EXPECT_EQ(meter.BarColor(), meter.palette().color(QPalette::Active, QPalette::Highlight));
    EXPECT_FALSE(meter.OnPosChange());
}

TEST(Meter, RecalculatesOnPositionStepAndResizeAndTellsOnlyOfNewPictures) {
    TApdMeter meter;
    meter.resize(377, 20);
    meter.SetStep(10);
    meter.show();  // a hidden widget hears of its resizes only when it is shown
    int changes = 0;
    meter.SetOnPosChange([&] { ++changes; });

    meter.SetPosition(1);
    EXPECT_EQ(meter.Blocks(), 1);
    EXPECT_FALSE(meter.Partial());
    EXPECT_EQ(changes, 1);
    meter.SetPosition(2);  // 37 * 2 / 100 + 1 is still one block: no new picture
    EXPECT_EQ(meter.Blocks(), 1);
    EXPECT_EQ(changes, 1);
    meter.SetPosition(100);
    EXPECT_EQ(meter.Blocks(), 37);
    EXPECT_TRUE(meter.Partial());
    EXPECT_EQ(meter.Rest(), 3);
    EXPECT_EQ(changes, 2);

    // Max is only stored; the next recalculation uses it.
    meter.SetMax(200);
    EXPECT_EQ(meter.Blocks(), 37);
    meter.SetPosition(99);
    EXPECT_EQ(meter.Blocks(), 19);  // 37 * 99 / 200 + 1
    EXPECT_EQ(changes, 3);

    meter.resize(150, 20);  // (147 / 10) * 99 / 200 + 1 = 7
    EXPECT_EQ(meter.Blocks(), 7);
    EXPECT_EQ(changes, 4);
    meter.SetStep(20);  // (147 / 20) * 99 / 200 + 1 = 4
    EXPECT_EQ(meter.Blocks(), 4);
    EXPECT_EQ(changes, 5);
}

TEST(Meter, PaintsBevelBlocksAndPartialBlock) {
    TApdMeter meter;
    meter.resize(377, 20);
    meter.SetStep(10);
    const QColor bar(0, 0, 200), shadow(100, 100, 100);
    meter.SetBarColor(bar);
    meter.SetBevelColor1(QColor(250, 250, 250));
    meter.SetBevelColor2(shadow);

    meter.SetPosition(100);
    QImage image = Render(meter);
    // 37 blocks of 8 pixels at k * 10 + 2, then the 3-pixel partial block at 372.
    auto runs = BarRuns(image, 10, bar);
    ASSERT_EQ(runs.size(), 38u);
    for (int k = 0; k < 37; ++k) {
        EXPECT_EQ(runs[k], std::make_pair(k * 10 + 2, k * 10 + 10)) << k;
    }
    EXPECT_EQ(runs[37], std::make_pair(372, 375));
    // Blocks run from y = 2 to H - 2 (exclusive).
    EXPECT_NE(image.pixelColor(5, 1), bar);
    EXPECT_EQ(image.pixelColor(5, 2), bar);
    EXPECT_EQ(image.pixelColor(5, 17), bar);
    EXPECT_NE(image.pixelColor(5, 18), bar);
    // Lowered: shadow on the left and top, light on the right and bottom.
    EXPECT_EQ(image.pixelColor(0, 10), shadow);
    EXPECT_EQ(image.pixelColor(100, 0), shadow);
    EXPECT_EQ(image.pixelColor(376, 10), QColor(250, 250, 250));
    EXPECT_EQ(image.pixelColor(100, 19), QColor(250, 250, 250));

    meter.SetBevelStyle(TBevelStyle::bsRaised);
    image = Render(meter);
    EXPECT_EQ(image.pixelColor(0, 10), QColor(250, 250, 250));
    EXPECT_EQ(image.pixelColor(376, 10), shadow);

    meter.SetBevelStyle(TBevelStyle::bsNone);
    meter.SetPosition(1);
    image = Render(meter);
    EXPECT_NE(image.pixelColor(0, 10), shadow);
    EXPECT_NE(image.pixelColor(0, 10), QColor(250, 250, 250));
    runs = BarRuns(image, 10, bar);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::make_pair(2, 10));

    meter.SetPosition(0);
    EXPECT_TRUE(BarRuns(Render(meter), 10, bar).empty());
}

}  // namespace
}  // namespace kavo
