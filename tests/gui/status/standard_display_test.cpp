#include "status/qt/standard_display.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kavo {
namespace {

QString Text(const QWidget& window, const char* name) {
    auto* label = window.findChild<QLabel*>(name);
    return label ? label->text() : QString("<missing %1>").arg(name);
}

TEST(StandardDisplay, LayoutAndPlaceholders) {
    TStandardDisplay window;
    EXPECT_EQ(window.size(), QSize(468, 319));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_FALSE(window.isVisible());

    const std::map<std::string, QRect> panels{
        {"psPanel1", {8, 8, 217, 113}},  {"psPanel2", {240, 8, 217, 113}},
        {"psPanel3", {8, 128, 217, 65}}, {"psPanel4", {240, 128, 217, 65}},
        {"psPanel5", {8, 200, 449, 33}}, {"psPanel6", {8, 240, 449, 33}}};
    for (const auto& [name, rect] : panels) {
        auto* panel = window.findChild<QFrame*>(name.c_str(), Qt::FindDirectChildrenOnly);
        ASSERT_NE(panel, nullptr) << name;
        EXPECT_EQ(panel->geometry(), rect) << name;
    }

    struct Field {
        const char* panel;
        const char* label;
        QPoint labelAt;
        const char* caption;
        const char* value;
        int valueLeft;
        const char* placeholder;
    };
    const Field fields[] = {
        {"psPanel1", "psLabel1", {8, 8}, "Protocol:", "psProtocol", 148, "NoProtocol"},
        {"psPanel1", "psLabel2", {8, 24}, "Block check:", "psBlockCheck", 128, "NoBlockCheck"},
        {"psPanel1", "psLabel3", {8, 40}, "File name:", "psFileName", 159, "NoName"},
        {"psPanel1", "psLabel4", {8, 57}, "File size:", "psFileSize", 116, "999,999,999,999"},
        {"psPanel1", "psLabel5", {8, 73}, "Block size:", "psBlockSize", 181, "1024"},
        {"psPanel1", "psLabel6", {8, 89}, "Total Blocks:", "psTotalBlocks", 116,
         "999,999,999,999"},
        {"psPanel2", "psLabel13", {8, 8}, "Bytes transferred:", "psBytesTransferred", 115,
         "999,999,999,999"},
        {"psPanel2", "psLabel14", {8, 24}, "Bytes remaining:", "psBytesRemaining", 115,
         "999,999,999,999"},
        {"psPanel2", "psLabel15", {8, 40}, "Blocks transferred:", "psBlocksTransferred", 115,
         "999,999,999,999"},
        {"psPanel2", "psLabel16", {8, 56}, "Blocks remaining:", "psBlocksRemaining", 115,
         "999,999,999,999"},
        {"psPanel2", "psLabel17", {8, 72}, "Block errors:", "psBlockErrors", 163, "999,999"},
        {"psPanel2", "psLabel18", {8, 88}, "Total errors:", "psTotalErrors", 163, "999,999"},
        {"psPanel3", "psLabel7", {8, 8}, "Estimated time:", "psEstimatedTime", 163, "9999:99"},
        {"psPanel3", "psLabel8", {8, 25}, "Elapsed time:", "psElapsedTime", 163, "9999:99"},
        {"psPanel3", "psLabel9", {8, 41}, "Remaining time:", "psRemainingTime", 163, "9999:99"},
        {"psPanel4", "psLabel10", {8, 8}, "Throughput:", "psThroughput", 145, "99999 CPS"},
        {"psPanel4", "psLabel11", {8, 25}, "Efficiency:", "psEfficiency", 173, "100 %"},
        {"psPanel4", "psLabel12", {8, 41}, "Kermit windows:", "psKermitWindows", 177, "99/99"},
    };
    for (const Field& f : fields) {
        auto* panel = window.findChild<QFrame*>(f.panel);
        auto* label = window.findChild<QLabel*>(f.label);
        auto* value = window.findChild<QLabel*>(f.value);
        ASSERT_TRUE(panel && label && value) << f.value;
        EXPECT_EQ(label->parentWidget(), panel) << f.label;
        EXPECT_EQ(value->parentWidget(), panel) << f.value;
        EXPECT_EQ(label->pos(), f.labelAt) << f.label;
        EXPECT_EQ(label->text(), f.caption) << f.label;
        EXPECT_EQ(value->text(), f.placeholder) << f.value;
        EXPECT_EQ(value->y(), label->y()) << f.value;
        EXPECT_TRUE(value->alignment() & Qt::AlignRight) << f.value;
        EXPECT_EQ(value->textFormat(), Qt::PlainText) << f.value;
        // The field ends inside its panel, 8 pixels from the edge, and the placeholder fits.
        EXPECT_EQ(value->geometry().right() + 1, 209) << f.value;
        EXPECT_LE(value->x(), f.valueLeft) << f.value;
        EXPECT_GE(value->width(), value->fontMetrics().horizontalAdvance(f.placeholder))
            << f.value;
    }

    EXPECT_EQ(Text(window, "psLabel22"), "Status:");
    EXPECT_EQ(Text(window, "psStatusMsg"), "OK");
    EXPECT_EQ(window.findChild<QLabel*>("psStatusMsg")->pos(), QPoint(56, 9));
    EXPECT_TRUE(window.findChild<QLabel*>("psStatusMsg")->alignment() & Qt::AlignLeft);
    EXPECT_EQ(Text(window, "psLabel19"), "Progress:");
    TApdMeter* meter = window.Meter();
    EXPECT_EQ(meter->parentWidget(), window.findChild<QFrame*>("psPanel6"));
    EXPECT_EQ(meter->geometry(), QRect(64, 7, 377, 20));
    EXPECT_EQ(meter->Step(), 10);
    EXPECT_EQ(meter->Position(), 0);
    auto* cancel = window.findChild<QPushButton*>("psCancel");
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->geometry(), QRect(189, 285, 89, 27));
    EXPECT_EQ(cancel->text(), "Cancel");

    EXPECT_EQ(window.font().pixelSize(), 12);
}

TEST(StandardDisplay, ShowsFiguresLiterallyAndKeepsRightEdges) {
    TStandardDisplay window;
    TStatusFigures f;
    f.protocolType = 3;
    f.blockCheck = 3;
    f.fileName = "/fw/R&D_signature_pad_build.bin";
    f.fileLength = 3000;
    f.blockLength = 1024;
    f.bytesTransferred = 1024;
    f.bytesRemaining = 1976;
    f.statusText = "Protocol handshaking in progress";
    window.ShowFigures(f);
    EXPECT_EQ(Text(window, "psProtocol"), "Xmodem1K");
    EXPECT_EQ(Text(window, "psBlockCheck"), "Crc16");
    EXPECT_EQ(Text(window, "psFileName"), "R&D_signature_pad_...");
    EXPECT_EQ(Text(window, "psFileSize"), "3000");
    EXPECT_EQ(Text(window, "psTotalBlocks"), "2");
    EXPECT_EQ(Text(window, "psBlocksTransferred"), "1");
    EXPECT_EQ(Text(window, "psBlocksRemaining"), "2");
    EXPECT_EQ(Text(window, "psThroughput"), "    0 CPS");
    EXPECT_EQ(Text(window, "psEfficiency"), "  0%");
    EXPECT_EQ(Text(window, "psElapsedTime"), "  0:00");
    EXPECT_EQ(Text(window, "psStatusMsg"), "Protocol handshaking in progress");
    EXPECT_EQ(window.Meter()->Position(), 34);

    // The file name is wider than its designed room: it grows to the left, right edge kept,
    // and still clears its caption.
    auto* name = window.findChild<QLabel*>("psFileName");
    EXPECT_EQ(name->geometry().right() + 1, 209);
    EXPECT_LT(name->x(), 159);
    EXPECT_GE(name->width(), name->fontMetrics().horizontalAdvance(name->text()));
    auto* caption = window.findChild<QLabel*>("psLabel3");
    EXPECT_LE(caption->x() + caption->fontMetrics().horizontalAdvance(caption->text()),
              name->x() + name->width() - name->fontMetrics().horizontalAdvance(name->text()));
    // A short value gets its designed room back.
    f.fileName = "a.bin";
    window.ShowFigures(f);
    EXPECT_EQ(name->x(), 159);
}

TEST(StandardDisplay, WindowPropertiesAndPlacement) {
    TStandardDisplay window;
    EXPECT_EQ(window.WindowPosition(), TPosition::poDesigned);
    EXPECT_TRUE(window.WindowCtl3D());
    window.SetWindowCaption("Protocol Status");
    EXPECT_EQ(window.windowTitle(), "Protocol Status");
    EXPECT_EQ(window.WindowCaption(), "Protocol Status");
    window.SetWindowVisible(true);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.pos(), QPoint(363, 182));
    window.SetWindowVisible(false);
    EXPECT_FALSE(window.WindowVisible());
    window.SetWindowCtl3D(false);
    EXPECT_EQ(window.findChild<QFrame*>("psPanel1")->frameShadow(), QFrame::Plain);
}

}  // namespace
}  // namespace kavo
