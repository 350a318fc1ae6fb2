// The status window during real transfers over a pseudo-terminal: a scripted XMODEM receiver on
// the far end acknowledges every block at a steady pace, so that the transfer lasts a few status
// intervals.
#include "app/qt/qt_glue.h"
#include "serial/com_port.h"
#include "status/protocol_status.h"
#include "status/qt/standard_display.h"
#include "gui/status/paced_receiver.h"
#include "line_sim.h"
#include "pty_pair.h"
#include "terminal_sim.h"
#include "transfer/protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavo {
namespace {

using namespace std::chrono_literals;

constexpr int kComNumber = 41;

// What a status report left on the window.
struct Snapshot {
    std::uint16_t options = 0;
    bool visible = false;
    QImage image;
    QString bytesTransferred, bytesRemaining, fileName, fileSize, status;
    int meter = 0;
};

// The main window's components, set up as it sets them, on a pty mapped to COM41.
class StatusTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        InstallQtMessageGlue();
        setenv("KAVODOWN_PORTS", (std::to_string(kComNumber) + "=" + pty.DevicePath()).c_str(), 1);
        port = new TApdComPort(&owner);
        protocol = new TApdProtocol(&owner);
        status = new TApdProtocolStatus(&owner, MakeStandardDisplay);
        port->SetComNumber(kComNumber);
        port->SetBaud(115200);
        protocol->SetComPort(port);
        protocol->SetProtocolType(ptXmodem1K);
        protocol->SetHandshakeWait(1092);
        protocol->SetFinishWait(0);
        protocol->SetTurnDelay(1000);
        protocol->SetOverhead(5);
        protocol->SetStatusDisplay(status);
        protocol->SetStatusInterval(10);
        status->SetPosition(TPosition::poDesigned);
        status->SetCtl3D(true);
        status->SetVisible(false);
        window = StandardDisplayOf(*status);

        protocol->SetOnProtocolStatus([this](TApdCustomProtocol*, std::uint16_t options) {
            Snapshot s;
            s.options = options;
            s.visible = window->isVisible();
            s.image = window->grab().toImage();
            s.bytesTransferred = Field("psBytesTransferred");
            s.bytesRemaining = Field("psBytesRemaining");
            s.fileName = Field("psFileName");
            s.fileSize = Field("psFileSize");
            s.status = Field("psStatusMsg");
            s.meter = window->Meter()->Position();
            reports.push_back(std::move(s));
            if (onReport) onReport(options);
        });
        protocol->SetOnProtocolFinish([this](TApdCustomProtocol*, std::int32_t code) {
            finishCode = code;
        });
    }

    void TearDown() override {
        receiver.Stop();
        if (port->Open()) port->SetOpen(false);
        unsetenv("KAVODOWN_PORTS");
    }

    QString Field(const char* name) { return window->findChild<QLabel*>(name)->text(); }

    void Send(const std::string& file) {
        port->SetOpen(true);
        protocol->SetFileMask(file);
        protocol->BeginTransmit();
        receiver.Start();
    }

    // Runs both event loops until the transfer has finished (or a generous deadline passed).
    // `step` runs between rounds, outside any handler, as the operator's actions do.
    bool WaitForFinish(const std::function<void()>& step = {}) {
        QElapsedTimer clock;
        clock.start();
        while (!finishCode && clock.elapsed() < 60000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            ProcessMessages();
            if (step) step();
        }
        return finishCode.has_value();
    }

    sim::PtyPair pty;
    test::PacedReceiver receiver{pty, 15ms};
    TComponent owner;
    TApdComPort* port = nullptr;
    TApdProtocol* protocol = nullptr;
    TApdProtocolStatus* status = nullptr;
    TStandardDisplay* window = nullptr;
    std::vector<Snapshot> reports;
    std::function<void(std::uint16_t)> onReport;
    std::optional<std::int32_t> finishCode;
};

TEST_F(StatusTransfer, WindowFollowsAWholeTransferAndIsPhotographed) {
    const std::size_t size = 150 * 1024 + 300;
    const std::string file = test::WriteFirmware(size);
    Send(file);
    ASSERT_TRUE(WaitForFinish());
    EXPECT_EQ(*finishCode, 0);
    EXPECT_TRUE(receiver.GotEot());
    EXPECT_FALSE(window->isVisible());

    ASSERT_GE(reports.size(), 4u) << "first, at least two regular ones, last";
    EXPECT_EQ(reports.front().options, 1);
    EXPECT_TRUE(reports.front().visible);
    EXPECT_EQ(reports.back().options, 2);
    EXPECT_FALSE(reports.back().visible);
    // Once the file is open, regular reports show it with figures that add up, and the meter
    // moves forward.
    int lastMeter = 0;
    const Snapshot* opened = nullptr;
    std::vector<const Snapshot*> regular;
    for (const Snapshot& s : reports) {
        if (s.options != 0) continue;
        EXPECT_TRUE(s.visible);
        if (s.fileSize == "0") continue;  // a report before the file was opened
        if (!opened) opened = &s;
        EXPECT_EQ(s.fileName, "kavo_status_firmwa...");
        EXPECT_EQ(s.fileSize.toLongLong(), static_cast<long long>(size));
        const long long transferred = s.bytesTransferred.toLongLong();
        const long long remaining = s.bytesRemaining.toLongLong();
        if (remaining > 0) {
            EXPECT_EQ(transferred + remaining, static_cast<long long>(size));
        } else {
            // The last block is padded: once it is on its way it counts whole, and nothing
            // remains.
            EXPECT_GE(transferred, static_cast<long long>(size));
            EXPECT_LT(transferred, static_cast<long long>(size + 1024));
        }
        EXPECT_GE(s.meter, lastMeter);
        lastMeter = s.meter;
        if (transferred > 0) regular.push_back(&s);
    }
    ASSERT_NE(opened, nullptr);
    ASSERT_GE(regular.size(), 2u);
    EXPECT_GT(regular.back()->meter, regular.front()->meter);

    // Pictures for review: the start, the middle and the near end of the transfer.
    opened->image.save("status_window_start.png");
    regular[regular.size() / 2]->image.save("status_window_middle.png");
    regular.back()->image.save("status_window_end.png");
    EXPECT_FALSE(opened->image.isNull());
}

TEST_F(StatusTransfer, CancelButtonEndsTheTransferWithCancelRequested) {
    const std::string file = test::WriteFirmware(400 * 1024);
    bool underWay = false;
    bool clicked = false;
    onReport = [&](std::uint16_t options) {
        if (options == 0 && protocol->BytesTransferred() > 0) underWay = true;
    };
    Send(file);
    // Press Cancel once the window shows the transfer under way, as an operator would.
    ASSERT_TRUE(WaitForFinish([&] {
        if (underWay && !clicked) {
            clicked = true;
            QTest::mouseClick(window->findChild<QPushButton*>("psCancel"), Qt::LeftButton);
        }
    }));
    EXPECT_TRUE(clicked);
    EXPECT_EQ(*finishCode, -6005);
    EXPECT_FALSE(window->isVisible());
    EXPECT_LT(receiver.Blocks(), 400);
    // The receiver is told: the cancel sequence reaches the line.
    QElapsedTimer clock;
    clock.start();
    while (!receiver.GotCancel() && clock.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_TRUE(receiver.GotCancel());
}

// Over the simulated line at 115200 baud with the terminal simulator receiving, as the demo runs.
class StatusTimes : public StatusTransfer {
protected:
    using Clock = std::chrono::steady_clock;
    struct Times {
        Clock::time_point at;
        std::int64_t bytes = 0;
        int estimated = -1, elapsed = -1, remaining = -1;
    };

    void SetUp() override {
        StatusTransfer::SetUp();
        line.Start();
        setenv("KAVODOWN_PORTS", (std::to_string(kComNumber) + "=" + line.PathA()).c_str(), 1);
        terminal.Start();
        ASSERT_TRUE(terminal.WaitReady(20s));
        onReport = [this](std::uint16_t options) {
            if (options != 0) return;
            times.push_back({Clock::now(), protocol->BytesTransferred(), Seconds("psEstimatedTime"),
                             Seconds("psElapsedTime"), Seconds("psRemainingTime")});
        };
        protocol->SetOnProtocolFinish([this](TApdCustomProtocol*, std::int32_t code) {
            finishedAt = Clock::now();
            finishCode = code;
        });
    }
    void TearDown() override {
        terminal.Stop();
        line.Stop();
        StatusTransfer::TearDown();
    }
    // A time field's "m:ss" in seconds; -1 when it is no time.
    int Seconds(const char* field) {
        const auto match = QRegularExpression(QStringLiteral("^ *(\\d+):(\\d\\d)$")).match(Field(field));
        return match.hasMatch() ? match.captured(1).toInt() * 60 + match.captured(2).toInt() : -1;
    }

    static sim::LineSimOptions PacedLine() {
        sim::LineSimOptions options;
        options.baud = 115200;
        return options;
    }
    sim::TerminalSimOptions TerminalOn(const std::string& path) {
        sim::TerminalSimOptions options;
        options.portPath = path;
        return options;
    }

    sim::LineSim line{PacedLine()};
    sim::TerminalSim terminal{TerminalOn(line.PathB())};
    std::vector<Times> times;
    Clock::time_point finishedAt;
};

TEST_F(StatusTimes, RemainingTimeATenthInIsWhatTheTransferThenTakes) {
    const std::size_t size = 300000;
    const std::string file = test::WriteFirmware(size);
    port->SetOpen(true);
    protocol->SetFileMask(file);
    protocol->BeginTransmit();
    QElapsedTimer clock;
    clock.start();
    while (!finishCode && clock.elapsed() < 180000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        ProcessMessages();
    }
    ASSERT_TRUE(finishCode.has_value());
    ASSERT_EQ(*finishCode, 0);

    const Times* tenth = nullptr;
    for (const Times& t : times) {
        if (t.bytes <= 0) continue;  // the line's estimate, before the first acknowledgement
        // Once blocks are acknowledged the whole is what has passed and what is still to come.
        EXPECT_LE(std::abs(t.estimated - (t.elapsed + t.remaining)), 1)
            << t.estimated << " vs " << t.elapsed << " + " << t.remaining;
        if (!tenth && t.bytes >= static_cast<std::int64_t>(size / 10)) tenth = &t;
    }
    ASSERT_NE(tenth, nullptr);
    // Compared with the time the rest of the transfer really took on this machine. A busy
    // machine slows the rest of a run unevenly, so the shown time must be of the same size, not
    // exact: within half to twice what the rest took. An estimate that counts a turnaround of a
    // second per block is about ten times too long.
    const double took = std::chrono::duration<double>(finishedAt - tenth->at).count();
    RecordProperty("shownLeftSecs", tenth->remaining);
    RecordProperty("tookMs", static_cast<int>(took * 1000));
    EXPECT_GE(tenth->remaining, took / 2)
        << "shown " << tenth->remaining << " s left at " << tenth->bytes << " bytes, " << tenth->elapsed
        << " s in, the rest took " << took << " s";
    EXPECT_LE(tenth->remaining, took * 2)
        << "shown " << tenth->remaining << " s left at " << tenth->bytes << " bytes, " << tenth->elapsed
        << " s in, the rest took " << took << " s";
}

}  // namespace
}  // namespace kavo
