// The real window over the real station (its own thread, a kavodown --batch child per unit)
// against line and terminal simulators: a terminal is plugged in by starting a line simulator
// whose end A appears at the slot's path.
#include "app/qt/station_window.h"
#include "support/plugged_terminal.h"
#include "support/read_file.h"
#include "support/temp_dir.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <QCryptographicHash>

#include <chrono>
#include <fstream>
#include <list>
#include <memory>
#include <random>

namespace kavo {
namespace {

using namespace std::chrono_literals;
using station::TSlotState;
using test::TPlugged;

const std::string kBin = KAVO_BIN_DIR;

class StationWindowRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937 rng(11);
        image_.bytes.assign(40000 + 123, '\0');
        for (char& c : image_.bytes) c = static_cast<char>(rng());
        image_.path = dir_ + "/KV100.bin";
        std::ofstream(image_.path, std::ios::binary) << image_.bytes;
        image_.sha256 = QCryptographicHash::hash(QByteArray::fromStdString(image_.bytes),
                                                 QCryptographicHash::Sha256).toHex().toStdString();
        options_.slotPaths = {Slot(1), Slot(2)};
        options_.resultsPath = dir_ + "/results.csv";
        options_.silenceLimitSeconds = 20;
        options_.firmware = image_.path;
        window_ = std::make_unique<TStationWindow>(image_, &runner_->Control());
        window_->show();
    }
    void TearDown() override {
        runner_.reset();  // stops the station and joins its thread before the window goes
        window_.reset();
        plugged_.clear();
    }

    std::string Slot(int k) const { return dir_ + "/slot" + std::to_string(k); }
    std::string Output(int k) const { return dir_ + "/out" + std::to_string(k) + ".bin"; }

    // Plugs a terminal into slot `k`; `baud` 0 relays at once. Stops at a simulator that is not
    // ready, and keeps none of that slot's.
    void Plug(int k, int baud = 0) {
        TPlugged plugged;
        const std::string b = dir_ + "/b" + std::to_string(k);
        ASSERT_TRUE(plugged.StartLine(kBin, baud, Slot(k), b)) << "the line simulator of slot " << k;
        ASSERT_TRUE(plugged.StartTerminal(kBin, b, Output(k), image_.bytes.size()))
            << "the terminal of slot " << k;
        plugged_.push_back(std::move(plugged));
    }

    QString StateOf(int k) const {
        if (window_->Tiles().size() < static_cast<std::size_t>(k)) return {};
        return window_->Tiles()[static_cast<std::size_t>(k - 1)]->findChild<QLabel*>("slotState")->text();
    }
    bool WaitState(int k, TSlotState state, int ms = 60000) {
        return QTest::qWaitFor([&] { return StateOf(k) == StationStateText(state); }, ms);
    }
    void StartStation() {
        runner_->Start(*window_, options_, image_, kBin + "/kavodown");
        // Watching its slots: what is plugged in from now on is a plug-in.
        ASSERT_TRUE(QTest::qWaitFor([&] { return window_->StationLine().find("slot(s)") != std::string::npos; },
                                    20000));
        ASSERT_EQ(window_->Tiles().size(), 2u);
    }
    QString Counter(const char* name) const { return window_->findChild<QLabel*>(name)->text(); }

    kavo::test::TempDir tmp_{"kavo_station_window"};
    const std::string dir_ = tmp_.Path().string();
    station::TStationImage image_;
    station::TStationOptions options_;
    std::unique_ptr<TStationRunner> runner_ = std::make_unique<TStationRunner>();
    std::unique_ptr<TStationWindow> window_;
    std::list<TPlugged> plugged_;
};

TEST_F(StationWindowRunTest, TwoSlotsFlashToDoneOneOfThemThroughTheStartButton) {
    Plug(1);  // there at start-up: waits for the start button
    StartStation();
    EXPECT_EQ(StateOf(1), StationStateText(TSlotState::waiting));
    Plug(2);  // plugged in: starts by itself
    ASSERT_TRUE(WaitState(2, TSlotState::done)) << StateOf(2).toStdString();
    EXPECT_EQ(StateOf(1), StationStateText(TSlotState::waiting));
    QTest::mouseClick(window_->findChild<QPushButton*>("startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitState(1, TSlotState::done)) << StateOf(1).toStdString();
    for (int k : {1, 2}) {
        // The terminal writes what it got when its session is over.
        EXPECT_TRUE(QTest::qWaitFor([&] { return kavo::test::ReadFile(Output(k)) == image_.bytes; }, 10000))
            << "terminal " << k << " differs";
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return Counter("doneCount") == QStringLiteral("2"); }, 10000));
    EXPECT_EQ(Counter("failedCount"), QStringLiteral("0"));
    EXPECT_NE(Counter("unitsPerHour"), QStringLiteral("—"));

    // Closing stops the station; every finished unit was good.
    QSignalSpy closed(window_.get(), &TStationWindow::closed);
    window_->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed.count() == 1; }, 30000));
    EXPECT_FALSE(window_->StationRunning());
    EXPECT_EQ(window_->ExitCode(), 0);
}

TEST_F(StationWindowRunTest, StopButtonCancelsTheRunningUnitsAndShowsThemStopped) {
    StartStation();
    // At the line's real pace, so that both are still sending when the stop comes.
    Plug(1, 115200);
    Plug(2, 115200);
    ASSERT_TRUE(WaitState(1, TSlotState::sending, 20000));
    ASSERT_TRUE(WaitState(2, TSlotState::sending, 20000));
    QTest::mouseClick(window_->findChild<QPushButton*>("stopButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->StationRunning(); }, 30000));
    for (int k : {1, 2}) {
        EXPECT_EQ(StateOf(k), StationStateText(TSlotState::stopped)) << k;
        EXPECT_EQ(window_->Tiles()[static_cast<std::size_t>(k - 1)]->findChild<QLabel*>("slotReason")->text(),
                  QStringLiteral("중지되어 취소됨"));
    }
    EXPECT_EQ(Counter("failedCount"), QStringLiteral("2"));
    EXPECT_EQ(window_->ExitCode(), 2);  // stopped units are not flashed
    EXPECT_TRUE(window_->isVisible()) << "the stop ends the station, not the window";
    // Each terminal was told with CAN.
    for (TPlugged& plugged : plugged_) {
        EXPECT_FALSE(plugged.terminal->WaitLine("termsim: sender-cancelled", 20s).empty());
    }
}

}  // namespace
}  // namespace kavo
