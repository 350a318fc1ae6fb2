// The station's window fed with observer events: each state's words and colour on a tile, the
// reason of a failure, the elapsed time, the counters and units per hour, the banner of a changed
// firmware file, and the buttons and the close reaching the station's control. Screenshots of 16
// and 4 tiles go to $KAVO_SHOTS_DIR (default: the build folder).
#include "app/qt/station_window.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace kavo {
namespace {

using station::TSlotState;
using station::TSlotView;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

station::TStationImage Image() {
    station::TStationImage image;
    image.path = "/srv/firmware/KV100_v2.31.bin";
    image.bytes = std::string(48321, 'x');
    image.sha256 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    return image;
}

template <typename T = QLabel>
T* Find(const QWidget& parent, const char* name) {
    T* widget = parent.findChild<T*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

QString Text(const QWidget& parent, const char* name) {
    QLabel* label = Find(parent, name);
    return label ? label->text() : QString();
}

// WCAG's relative luminance and contrast ratio.
double Luminance(const QColor& colour) {
    auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}
double Contrast(const QColor& a, const QColor& b) {
    const double x = Luminance(a), y = Luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

struct TStateCase {
    TSlotState state;
    const char* words;
    int code;              // of the finished unit
    const char* reason;    // the tile's reason in words; "" for none
    bool progress;         // the bar shows
};

const TStateCase kStates[] = {
    {TSlotState::waiting, "대기", 0, "", false},
    {TSlotState::ready, "준비", 0, "", false},
    {TSlotState::waking, "깨우는 중", 0, "", false},
    {TSlotState::sending, "전송 중", 0, "", true},
    {TSlotState::done, "완료", 0, "", false},
    {TSlotState::failed, "실패", 8, "장치 분리됨", false},
    {TSlotState::failed, "실패", 7, "단말기 응답 없음", false},
    {TSlotState::failed, "실패", 2, "전송 실패", false},
    {TSlotState::stopped, "중지", 143, "중지되어 취소됨", false},
};

TEST(StationWindow, EachStateShowsItsWordsColourProgressAndReason) {
    TStationWindow window(Image(), nullptr);
    for (const TStateCase& c : kStates) {
        SCOPED_TRACE(c.words);
        TSlotView view;
        view.index = 0;
        view.name = "bench-3";
        view.device = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0";
        view.state = c.state;
        view.percent = 42;
        view.code = c.code;
        view.reason = c.code ? "device lost: /dev/ttyUSB3 went away" : "";
        window.ShowSlot(view);
        ASSERT_EQ(window.Tiles().size(), 1u);
        TSlotTile& tile = *window.Tiles()[0];
        EXPECT_EQ(Text(tile, "slotState"), QString::fromUtf8(c.words));
        EXPECT_EQ(Text(tile, "slotName"), QStringLiteral("bench-3"));
        // A long path keeps its end, which tells the ports apart; the whole is the tooltip.
        EXPECT_TRUE(Text(tile, "slotDevice").endsWith(QStringLiteral("usb-0:3:1.0-port0")));
        EXPECT_EQ(Find(tile, "slotDevice")->toolTip(), QString::fromStdString(view.device));
        EXPECT_EQ(tile.palette().color(QPalette::Window), StationStateBackground(c.state));
        QProgressBar* bar = Find<QProgressBar>(tile, "slotProgress");
        EXPECT_EQ(bar->isVisibleTo(&tile), c.progress);
        if (c.progress) {
            EXPECT_EQ(bar->text(), QStringLiteral("42 %"));
        }
        QLabel* reason = Find(tile, "slotReason");
        EXPECT_EQ(reason->isVisibleTo(&tile), *c.reason != '\0');
        EXPECT_EQ(reason->text(), QString::fromUtf8(c.reason));
        if (*c.reason) {
            EXPECT_TRUE(Text(tile, "slotDetail").contains(QStringLiteral("device lost")));
        }
        // Readable from two metres.
        EXPECT_GE(Find(tile, "slotState")->font().pixelSize(), 32);
    }
}

TEST(StationWindow, StatesDifferInColourAndTheirTextStandsOutFromIt) {
    const TSlotState all[] = {TSlotState::waiting, TSlotState::ready, TSlotState::waking, TSlotState::sending,
                              TSlotState::done, TSlotState::failed, TSlotState::stopped};
    for (TSlotState a : all) {
        EXPECT_GE(Contrast(StationStateBackground(a), StationStateForeground(a)), 4.5)
            << station::SlotStateName(a);
        for (TSlotState b : all) {
            if (a == b) continue;
            EXPECT_NE(StationStateBackground(a), StationStateBackground(b))
                << station::SlotStateName(a) << " and " << station::SlotStateName(b);
            EXPECT_NE(StationStateText(a), StationStateText(b));
        }
    }
}

TEST(StationWindow, SerialNumberAndElapsedTimeOfTheUnit) {
    TStationWindow window(Image(), nullptr);
    TSlotView view;
    view.index = 1;  // slot 1 appears first: both tiles exist
    view.state = TSlotState::sending;
    view.serial = "KV1002345";
    view.startMs = NowMs() - 65'300;
    window.ShowSlot(view);
    ASSERT_EQ(window.Tiles().size(), 2u);
    TSlotTile& tile = *window.Tiles()[1];
    EXPECT_TRUE(Text(tile, "slotSerial").contains(QStringLiteral("KV1002345")));
    EXPECT_TRUE(Text(tile, "slotElapsed") == QStringLiteral("1:05") ||
                Text(tile, "slotElapsed") == QStringLiteral("1:06"))
        << Text(tile, "slotElapsed").toStdString();
    // Finished: the unit's duration stays.
    view.state = TSlotState::done;
    view.startMs = 0;
    view.durationMs = 83'000;
    view.serial.clear();
    window.ShowSlot(view);
    EXPECT_EQ(Text(tile, "slotElapsed"), QStringLiteral("1:23"));
    EXPECT_EQ(Text(tile, "slotSerial"), QString());
    // A device waiting for a plug-in has no unit.
    view.state = TSlotState::waiting;
    window.ShowSlot(view);
    EXPECT_EQ(Text(tile, "slotElapsed"), QString());
}

TEST(StationWindow, ElapsedAndRateTexts) {
    const std::pair<std::int64_t, const char*> elapsed[] = {
        {0, "0:00"}, {7'999, "0:07"}, {725'000, "12:05"}, {3'723'000, "1:02:03"}, {-5, "0:00"}};
    for (const auto& [ms, text] : elapsed) EXPECT_EQ(ElapsedText(ms), QString::fromUtf8(text)) << ms;
    struct { int units; std::int64_t ms; const char* text; } rates[] = {
        {0, 3'600'000, "—"}, {3, 0, "—"}, {1, 3'600'000, "1.0"}, {3, 7'200'000, "1.5"},
        {5, 1'800'000, "10"}, {30, 3'600'000, "30"}, {1, 100'000, "36"}};
    for (const auto& r : rates) {
        EXPECT_EQ(UnitsPerHourText(r.units, r.ms), QString::fromUtf8(r.text)) << r.units << " in " << r.ms;
    }
}

TEST(StationWindow, CountersAndUnitsPerHour) {
    TStationWindow window(Image(), nullptr);
    EXPECT_EQ(Text(window, "doneCount"), QStringLiteral("0"));
    EXPECT_EQ(Text(window, "unitsPerHour"), QStringLiteral("—"));
    station::TStationCounters counters;
    counters.done = 7;
    counters.failed = 1;
    counters.sinceMs = NowMs() - 2 * 3'600'000;
    window.ShowCounters(counters);
    EXPECT_EQ(Text(window, "doneCount"), QStringLiteral("7"));
    EXPECT_EQ(Text(window, "failedCount"), QStringLiteral("1"));
    EXPECT_EQ(Text(window, "unitsPerHour"), QStringLiteral("4.0"));  // 8 units in 2 hours
}

TEST(StationWindow, FirmwareAtTheTopAndTheBannerWhenItChangedOnDisk) {
    TStationWindow window(Image(), nullptr);
    EXPECT_TRUE(Text(window, "firmwareName").contains(QStringLiteral("KV100_v2.31.bin")));
    EXPECT_TRUE(Text(window, "firmwareSize").contains(QStringLiteral("48,321")));
    EXPECT_TRUE(Text(window, "firmwareSha256").contains(QString::fromStdString(Image().sha256)));
    QLabel* banner = Find(window, "firmwareChangedBanner");
    EXPECT_FALSE(banner->isVisibleTo(&window));
    window.ShowFirmwareChanged();
    EXPECT_TRUE(banner->isVisibleTo(&window));
    EXPECT_TRUE(banner->text().contains(QStringLiteral("변경")));
}

TEST(StationWindow, ButtonsReachTheControlAndCloseWaitsForTheStationsEnd) {
    station::TStationControl control;
    TStationWindow window(Image(), &control);
    QSignalSpy closed(&window, &TStationWindow::closed);
    window.show();
    QTest::mouseClick(Find<QPushButton>(window, "startButton"), Qt::LeftButton);
    station::TStationControl::TRequests requests = control.Take();
    EXPECT_TRUE(requests.startPresent);
    EXPECT_FALSE(requests.stop);

    // Closing is the stop button's stop; the window stays until the station has ended.
    window.close();
    requests = control.Take();
    EXPECT_TRUE(requests.stop);
    EXPECT_EQ(requests.signalNumber, 0);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(closed.count(), 0);
    EXPECT_FALSE(Find<QPushButton>(window, "stopButton")->isEnabled());
    window.ShowStationEnded(2);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(window.ExitCode(), 2);
}

TEST(StationWindow, StopButtonStopsOnce) {
    station::TStationControl control;
    TStationWindow window(Image(), &control);
    window.show();
    QPushButton* stop = Find<QPushButton>(window, "stopButton");
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_TRUE(control.Take().stop);
    EXPECT_FALSE(stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_FALSE(control.Take().stop);
    EXPECT_TRUE(window.isVisible()) << "the stop button ends the station, not the window";
}

// Every state across the tiles, with what a real station would show.
void Fill(TStationWindow& window, int tileCount) {
    const std::int64_t now = NowMs();
    const char* reasons[] = {"device lost: /dev/ttyUSB5 went away during the transfer",
                             "transfer failed: the terminal cancelled (code 4708)",
                             "no answer: the terminal did not acknowledge DDD"};
    const int codes[] = {8, 2, 7};
    const TSlotState cycle[] = {TSlotState::sending, TSlotState::done, TSlotState::waiting, TSlotState::ready,
                                TSlotState::waking, TSlotState::failed, TSlotState::stopped, TSlotState::sending};
    for (int i = 0; i < tileCount; ++i) {
        TSlotView view;
        view.index = static_cast<std::size_t>(i);
        view.name = "slot" + std::to_string(i + 1);
        view.device = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:" + std::to_string(i + 1) + ":1.0-port0";
        view.state = cycle[i % 8];
        view.present = view.state != TSlotState::waiting;
        if (view.present) view.serial = "KV10" + std::to_string(23450 + i * 7);
        view.percent = 17 + i * 9 % 80;
        if (view.state == TSlotState::sending || view.state == TSlotState::waking) view.startMs = now - 4'000 - i * 3'100;
        if (view.state == TSlotState::done) view.durationMs = 38'000 + i * 1'000;
        if (view.state == TSlotState::failed) {
            view.code = codes[i % 3];
            view.reason = reasons[i % 3];
            view.durationMs = 12'000 + i * 500;
        }
        if (view.state == TSlotState::stopped) {
            view.code = 143;
            view.reason = "stopped: stopped by SIGTERM";
            view.durationMs = 21'400;
        }
        window.ShowSlot(view);
    }
    station::TStationCounters counters;
    counters.done = 41;
    counters.failed = 3;
    counters.sinceMs = now - 47 * 60'000;
    window.ShowCounters(counters);
}

TEST(StationWindow, Screenshots) {
    const char* folder = std::getenv("KAVO_SHOTS_DIR");
    const std::string shots = folder && *folder ? folder : KAVO_BIN_DIR "/..";
    std::filesystem::create_directories(shots);
    for (const int tileCount : {16, 4}) {
        TStationWindow window(Image(), nullptr);
        Fill(window, tileCount);
        if (tileCount == 16) window.ShowFirmwareChanged();
        window.show();
        window.resize(window.sizeHint().expandedTo(window.minimumSizeHint()));
        QCoreApplication::processEvents();
        const QString path = QString::fromStdString(shots + "/station-" + std::to_string(tileCount) + ".png");
        EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
        EXPECT_EQ(window.Tiles().size(), static_cast<std::size_t>(tileCount));
    }
}

}  // namespace
}  // namespace kavo
