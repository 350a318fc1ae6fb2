// The Win32 status window under a real window system: layout, texts, growing fields, the meter
// and its placement.
#include "status/status_layout.h"
#include "transfer/status_figures.h"

#include "app/win32/status_window.h"
#include "app/win32/wide_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kavo::win32 {
namespace {

RECT PlaceIn(HWND control, HWND window) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

TEST(Win32StatusWindow, LayoutCaptionsAndPlaceholders) {
    TStatusWindow window;
    HWND w = window.Handle();
    ASSERT_NE(w, nullptr);
    RECT client{};
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, kStatusClientWidth);
    EXPECT_EQ(client.bottom, kStatusClientHeight);
    const LONG_PTR style = GetWindowLongPtrW(w, GWL_STYLE);
    EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION);
    EXPECT_FALSE(style & (WS_SYSMENU | WS_THICKFRAME)) << "no title-bar buttons, fixed size";
    EXPECT_TRUE(GetWindowLongPtrW(w, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_FALSE(window.WindowVisible());

    for (const TStatusFieldLayout& f : kStatusFields) {
        const TStatusPanelLayout& panel = kStatusPanels[f.panel];
        HWND label = window.Control(f.labelName);
        HWND value = window.Control(f.valueName);
        ASSERT_TRUE(label && value) << f.valueName;
        EXPECT_EQ(TextOf(label), f.caption);
        EXPECT_EQ(TextOf(value), f.placeholder);
        EXPECT_TRUE(GetWindowLongPtrW(value, GWL_STYLE) & SS_RIGHT) << f.valueName;
        EXPECT_TRUE(GetWindowLongPtrW(value, GWL_STYLE) & SS_NOPREFIX) << f.valueName;
        const RECT place = PlaceIn(value, w);
        EXPECT_EQ(place.right, panel.left + kStatusValueRightEdge) << f.valueName;
        EXPECT_EQ(place.top, panel.top + f.top) << f.valueName;
        EXPECT_LE(place.left, panel.left + f.valueLeft) << f.valueName;
    }
    EXPECT_EQ(TextOf(window.Control("psStatusMsg")), "OK");
    EXPECT_EQ(TextOf(window.Control(kStatusLabel.labelName)), "Status:");
    EXPECT_EQ(TextOf(window.Control(kProgressLabel.labelName)), "Progress:");
    const RECT meter = PlaceIn(window.Control("psMeter"), w);
    EXPECT_EQ(meter.right - meter.left, kMeterWidth);
    EXPECT_EQ(meter.bottom - meter.top, kMeterHeight);
    const RECT cancel = PlaceIn(window.Control("psCancel"), w);
    EXPECT_EQ(cancel.left, kCancelLeft);
    EXPECT_EQ(cancel.top, kCancelTop);
    EXPECT_EQ(TextOf(window.Control("psCancel")), "Cancel");
}

TEST(Win32StatusWindow, FiguresFillTheFieldsAndTheMeter) {
    TStatusWindow window;
    TStatusFigures f;
    f.protocolType = 3;
    f.blockCheck = 3;
    f.fileName = "C:\\fw\\A&B_firmware_image_v2.bin";
    f.fileLength = 3000;
    f.blockLength = 1024;
    f.bytesTransferred = 1024;
    f.bytesRemaining = 1976;
    f.statusText = "OK";
    window.ShowFigures(f);
    EXPECT_EQ(TextOf(window.Control("psProtocol")), "Xmodem1K");
    EXPECT_EQ(TextOf(window.Control("psFileName")), "A&B_firmware_image...");
    EXPECT_EQ(TextOf(window.Control("psTotalBlocks")), "2");
    EXPECT_EQ(TextOf(window.Control("psBlocksRemaining")), "2");
    EXPECT_EQ(TextOf(window.Control("psThroughput")), "    0 CPS");
    EXPECT_EQ(window.MeterPosition(), 34);
    EXPECT_EQ(window.MeterDrawn(), MeterBlocks(kMeterWidth, 0, 100, 34, kMeterStep));

    // A text wider than the placeholder's room grows to the left and keeps its right edge.
    HWND size = window.Control("psFileSize");
    const RECT before = PlaceIn(size, window.Handle());
    f.fileLength = 123456789012345678;
    window.ShowFigures(f);
    const RECT after = PlaceIn(size, window.Handle());
    EXPECT_EQ(after.right, before.right);
    EXPECT_LT(after.left, before.left);

    f.bytesTransferred = f.fileLength;
    f.bytesRemaining = 0;
    window.ShowFigures(f);
    EXPECT_EQ(window.MeterDrawn(), (TMeterBlocks{37, true, 3}));
}

TEST(Win32StatusWindow, CaptionVisibilityAndPlacement) {
    TStatusWindow window;
    window.SetWindowCaption("Protocol Status");
    EXPECT_EQ(window.WindowCaption(), "Protocol Status");
    EXPECT_EQ(TextOf(window.Handle()), "Protocol Status");
    window.SetWindowVisible(true);
    EXPECT_TRUE(window.WindowVisible());
    RECT frame{};
    GetWindowRect(window.Handle(), &frame);
    EXPECT_EQ(frame.left, kStatusDesignedLeft);
    EXPECT_EQ(frame.top, kStatusDesignedTop);
    window.SetWindowPosition(TPosition::poScreenCenter);
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(window.Handle(), &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, (area.left + area.right) / 2, 1);
    window.SetWindowVisible(false);
    EXPECT_FALSE(window.WindowVisible());
}

}  // namespace
}  // namespace kavo::win32
