// The main window on a real serial line: a pseudo-terminal whose far end the test plays.
#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "app/uutil.h"
#include "serial/com_port.h"
#include "serial/qt/com_select_form.h"
#include "pty_pair.h"
#include "status/protocol_status.h"
#include "status/qt/standard_display.h"
#include "transfer/protocol.h"

#include <QCheckBox>
#include <QComboBox>
#include <QApplication>
#include <QCoreApplication>
#include <QPushButton>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string B2S(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// Runs Qt's events until the future is ready (or the deadline passes) and returns its value.
template <class T>
T PumpUntil(std::future<T>& future, std::chrono::milliseconds deadline = 10s) {
    QElapsedTimer clock;
    clock.start();
    while (future.wait_for(0ms) != std::future_status::ready && clock.elapsed() < deadline.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return future.get();
}

class MainWindowPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallQtMessageGlue();
        char pattern[] = "/tmp/kavo_guiport_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("KAVODOWN_CONFIG_DIR", dir_.c_str(), 1);
        ::setenv("KAVODOWN_PORTS", ("7=" + pty_.DevicePath() + ",8=" + dir_ + "/missing").c_str(), 1);
        firmware_ = dir_ + "/fw.bin";
        std::ofstream(firmware_) << std::string(3000, 'F');
    }
    void TearDown() override {
        ::unsetenv("KAVODOWN_CONFIG_DIR");
        ::unsetenv("KAVODOWN_PORTS");
        fs::remove_all(dir_);
    }

    // A window set to COM7 and the firmware file.
    std::unique_ptr<TFMain> Window(const QStringList& args = {}) {
        auto w = std::make_unique<TFMain>(args);
        if (args.isEmpty()) {
            w->CB_PORT->setEditText(QStringLiteral("7"));
            w->CB_PORTChange();
            w->EDT_FName->setText(Q(firmware_));
        }
        return w;
    }

    sim::PtyPair pty_;
    std::string dir_, firmware_;
};

TEST_F(MainWindowPortTest, DddIsAnsweredWithAckAndTheSequenceGoesOnToTheTransfer) {
    auto w = Window();
    w->CB_DDD->setChecked(true);
    auto peer = std::async(std::launch::async, [this] {
        Bytes wake = pty_.Read(3, 10s);
        if (wake == Bytes{'D', 'D', 'D'}) pty_.Write(Bytes{kACK});
        return wake;
    });
    w->BT_SENDClick();
    EXPECT_EQ(PumpUntil(peer), (Bytes{'D', 'D', 'D'}));
    // The ACK let the sequence go on to the transfer: the protocol got the file itself, not as
    // a mask.
    EXPECT_EQ(w->ApdProtocol->FileName(), firmware_);
    EXPECT_EQ(w->ApdProtocol->FileMask(), "*.*");
    EXPECT_TRUE(w->Tevo->Open());
    EXPECT_TRUE(w->Lab_Msg->text().isEmpty());
    EXPECT_TRUE(w->Link().RecvBuf().empty());  // the wait took the ACK
}

TEST_F(MainWindowPortTest, NoAnswerToDddStopsSilentlyWithThePortOpen) {
    auto w = Window();
    w->CB_DDD->setChecked(true);
    auto peer = std::async(std::launch::async, [this] { return pty_.Read(3, 10s); });
    QElapsedTimer clock;
    clock.start();
    w->BT_SENDClick();
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_EQ(PumpUntil(peer), (Bytes{'D', 'D', 'D'}));
    EXPECT_TRUE(w->Lab_Msg->text().isEmpty());
    EXPECT_TRUE(w->Tevo->Open());
    EXPECT_EQ(w->ApdProtocol->FileMask(), "*.*");  // the transfer was not started
    EXPECT_TRUE(pty_.ReadUntilQuiet(300ms, 2s).empty());  // nothing else went out
    // Changing the port closes it.
    w->CB_PORT->setEditText(QStringLiteral("8"));
    w->CB_PORTChange();
    EXPECT_FALSE(w->Tevo->Open());
    EXPECT_EQ(w->TevoComNumber(), 8);
}

TEST_F(MainWindowPortTest, SendSequenceTakesNoSecondPressAndNoPortChange) {
    auto w = Window();
    w->CB_DDD->setChecked(true);
    auto peer = std::async(std::launch::async, [this] { return pty_.ReadUntilQuiet(1500ms, 5s); });
    bool sendEnabled = true, portEnabled = true;
    // While the sequence waits for the answer to "DDD", the operator presses again and types a
    // port number.
    QTimer::singleShot(300, w.get(), [&] {
        sendEnabled = w->BT_SEND->isEnabled();
        portEnabled = w->CB_PORT->isEnabled();
        w->BT_SENDClick();
        w->CB_PORT->setEditText(QStringLiteral("8"));
        w->CB_PORTChange();
    });
    w->BT_SENDClick();
    EXPECT_FALSE(sendEnabled);
    EXPECT_FALSE(portEnabled);
    EXPECT_EQ(PumpUntil(peer), (Bytes{'D', 'D', 'D'}));  // one "DDD", not two
    EXPECT_EQ(w->TevoComNumber(), 7);
    // The sequence stopped (no answer): both take input again.
    EXPECT_TRUE(w->BT_SEND->isEnabled());
    EXPECT_TRUE(w->CB_PORT->isEnabled());
}

TEST_F(MainWindowPortTest, ExitButtonDuringTheSendSequenceIsAFailedRun) {
    auto w = Window();
    w->CB_DDD->setChecked(true);
    w->show();
    auto peer = std::async(std::launch::async, [this] { return pty_.Read(3, 10s); });
    QTimer::singleShot(300, w.get(), [&] { w->BT_EXITClick(); });
    w->BT_SENDClick();
    PumpUntil(peer);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->ExitCode(), 2);
    EXPECT_FALSE(w->ApdProtocol->InProgress());  // no transfer started after the close

    // With nothing being sent the exit button ends the run as a success.
    auto idle = Window();
    idle->show();
    idle->BT_EXITClick();
    EXPECT_EQ(idle->ExitCode(), 0);
}

TEST_F(MainWindowPortTest, FailedTransferFromTheEnginesThreadEndsTheRunWithItsLastReport) {
    // The terminal asks for the file and NAKs every block until the sender gives up: the error
    // comes from the engine's thread, and the run ends with 2 after the engine's last report,
    // which hides the status window.
    auto w = Window();
    w->show();
    int lastReports = 0;
    w->SetStatusHook([&](int options) {
        if (options & StatusOptionLast) ++lastReports;
    });
    auto peer = std::async(std::launch::async, [this] {
        // 'C' once a second, as a terminal asks, until the first block comes; then a NAK for
        // each block (1024 or, after the fall-back, 128 bytes) until the sender cancels.
        Bytes got;
        for (int asks = 0; asks < 10 && got.empty(); ++asks) {
            pty_.Write(Bytes{'C'});
            got = pty_.ReadUntilQuiet(300ms, 1s);
        }
        int blocks = 0;
        while (!got.empty() && blocks < 20 && got.back() != 0x18) {
            ++blocks;
            pty_.Write(Bytes{0x15});  // NAK
            got = pty_.ReadUntilQuiet(300ms, 5s);
        }
        return blocks;
    });
    QSignalSpy closed(w.get(), &TFMain::closed);
    w->BT_SENDClick();
    EXPECT_GE(PumpUntil(peer, 30s), 5);
    QElapsedTimer clock;
    clock.start();
    while (closed.isEmpty() && clock.elapsed() < 20000) QTest::qWait(10);
    ASSERT_FALSE(closed.isEmpty());
    EXPECT_EQ(w->ExitCode(), 2);
    EXPECT_EQ(lastReports, 1);
    if (TStandardDisplay* display = StandardDisplayOf(*w->ApdProtocolStatus1)) {
        EXPECT_FALSE(display->isVisible());  // hidden by the last report
    }
}

TEST_F(MainWindowPortTest, ErrorEventLeavesThePortToTheFinish) {
    // The engine raises its error event from its own thread and waits for the window meanwhile;
    // a window that closed the port there would wait for that thread in turn. The port stays
    // open until the finish, which the engine posts once it is done.
    auto w = Window();
    w->show();
    w->Tevo->SetOpen(true);
    SendMessage(w->ApdProtocol->MessageWindow(), ProtocolErrorMsg,
                static_cast<WPARAM>(static_cast<std::uint16_t>(-6008)), 0);
    EXPECT_TRUE(w->Tevo->Open());
    EXPECT_TRUE(w->isVisible());
    SendMessage(w->ApdProtocol->MessageWindow(), ProtocolFinishMsg,
                static_cast<WPARAM>(static_cast<std::uint16_t>(-6008)), 0);
    EXPECT_FALSE(w->Tevo->Open());
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->ExitCode(), 2);
}

TEST_F(MainWindowPortTest, NoPortNumberAsksTheOperatorAndCancellingIsAnOpenFailure) {
    InstallPortPrompt();
    // A saved index outside the list selects nothing: start-up stops at the port number.
    std::ofstream(dir_ + "/Option.ini") << "[OPTION]\nPORT=5\nFNAME=" << firmware_ << "\n";
    auto w = std::make_unique<TFMain>(QStringList{});
    ASSERT_EQ(w->TevoComNumber(), 0);
    bool prompted = false;
    QTimer::singleShot(200, [&] {
        auto* prompt = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
        if (!prompt) return;
        prompted = true;
        prompt->AbortBtn->click();
    });
    w->BT_SENDClick();
    EXPECT_TRUE(prompted);
    EXPECT_EQ(w->Lab_Msg->text(), QStringLiteral("포트 오픈 실패 !!"));
    EXPECT_FALSE(w->Tevo->Open());
    SetPortPromptHook(nullptr);
}

TEST_F(MainWindowPortTest, PortThatCannotOpenShowsTheMessage) {
    auto w = Window();
    w->CB_PORT->setEditText(QStringLiteral("8"));
    w->CB_PORTChange();
    w->BT_SENDClick();
    EXPECT_EQ(w->Lab_Msg->text(), QStringLiteral("포트 오픈 실패 !!"));
    EXPECT_FALSE(w->Tevo->Open());
}

TEST_F(MainWindowPortTest, UsbModeFromTheCommandLineOpensThePortAndSendsNothing) {
    auto w = Window({QStringLiteral("7"), Q(firmware_), QStringLiteral("usb")});
    ASSERT_TRUE(w->TM->isActive());
    QSignalSpy fired(w->TM, &QTimer::timeout);
    ASSERT_TRUE(fired.wait(5000));
    EXPECT_TRUE(w->Tevo->Open());
    EXPECT_FALSE(w->ApdProtocol->InProgress());
    EXPECT_TRUE(pty_.ReadUntilQuiet(300ms, 2s).empty());
    // The box reporting the text it already shows (as on a focus change) leaves the port open;
    // the operator choosing another entry closes it.
    emit w->CB_PORT->textActivated(w->CB_PORT->currentText());
    EXPECT_TRUE(w->Tevo->Open());
    const int eight = w->CB_PORT->findText(QStringLiteral("8"));
    ASSERT_GE(eight, 0);
    w->CB_PORT->setCurrentIndex(eight);
    emit w->CB_PORT->textActivated(QStringLiteral("8"));
    EXPECT_FALSE(w->Tevo->Open());
    EXPECT_EQ(w->TevoComNumber(), 8);
}

TEST_F(MainWindowPortTest, ReceivedPacketsAreAnsweredThreeTimes) {
    auto w = Window({QStringLiteral("7"), Q(firmware_), QStringLiteral("USB")});
    w->TM->stop();
    w->BT_SENDClick();  // USB mode without DDD: the port stays open, nothing is sent
    ASSERT_TRUE(w->Tevo->Open());

    auto answer = [this](const std::string& packet) {
        return std::async(std::launch::async, [this, packet] {
            // Byte by byte, as a slow terminal would send it.
            for (char c : packet) {
                pty_.Write(std::string(1, c));
                std::this_thread::sleep_for(2ms);
            }
            return pty_.Read(3, 10s);
        });
    };
    auto good = answer(B2S({0x02, 0x10, 0x00, 0x01, 0x41, 0x52}));
    EXPECT_EQ(PumpUntil(good), (Bytes{0x06, 0x06, 0x06}));
    auto bad = answer(B2S({0x02, 0x10, 0x00, 0x01, 0x41, 0x50}));
    EXPECT_EQ(PumpUntil(bad), (Bytes{0x15, 0x15, 0x15}));
    // A command the tool sends is acknowledged by the peer.
    auto peer = std::async(std::launch::async, [this] {
        Bytes packet = pty_.Read(6, 10s);
        pty_.Write(Bytes{kACK});
        return packet;
    });
    EXPECT_EQ(w->SendCmd(0xD1, u"E"), 0);
    EXPECT_EQ(PumpUntil(peer), (Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97}));
}

}  // namespace
}  // namespace kavo
