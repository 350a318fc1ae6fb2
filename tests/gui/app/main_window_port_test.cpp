// The main window on a real serial line (a pseudo-terminal whose far end the test plays): what
// only a window shows of the sequence (download_sequence_pty_test.cpp has the rest).
#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "app/uutil.h"
#include "serial/com_port.h"
#include "serial/port_prompt.h"
#include "pty_pair.h"
#include "status/protocol_status.h"
#include "status/standard_display.h"
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
            w->Sequence().CB_PORTChange();
            w->EDT_FName->setText(Q(firmware_));
        }
        return w;
    }

    sim::PtyPair pty_;
    std::string dir_, firmware_;
};

TEST_F(MainWindowPortTest, FailedTransferFromTheEnginesThreadEndsTheRunWithItsLastReport) {
    // The terminal asks for the file and NAKs every block until the sender gives up: the error
    // comes from the engine's thread, and the run ends with 2 after the engine's last report,
    // which hides the status window.
    auto w = Window();
    w->show();
    int lastReports = 0;
    w->Sequence().SetStatusHook([&](int options) {
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
    w->Sequence().BT_SENDClick();
    EXPECT_GE(PumpUntil(peer, 30s), 5);
    QElapsedTimer clock;
    clock.start();
    while (closed.isEmpty() && clock.elapsed() < 20000) QTest::qWait(10);
    ASSERT_FALSE(closed.isEmpty());
    EXPECT_EQ(w->Sequence().ExitCode(), 2);
    EXPECT_EQ(lastReports, 1);
    if (TStandardDisplay* display = w->ApdProtocolStatus1->StandardDisplay()) {
        EXPECT_FALSE(display->isVisible());  // hidden by the last report
    }
}

TEST_F(MainWindowPortTest, NoPortNumberAsksTheOperatorAndCancellingIsAnOpenFailure) {
    InstallPortPrompt();
    // A saved index outside the list selects nothing: start-up stops at the port number.
    std::ofstream(dir_ + "/Option.ini") << "[OPTION]\nPORT=5\nFNAME=" << firmware_ << "\n";
    auto w = std::make_unique<TFMain>(QStringList{});
    ASSERT_EQ(w->Sequence().TevoComNumber(), 0);
    bool prompted = false;
    QTimer::singleShot(200, [&] {
        auto* prompt = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
        if (!prompt) return;
        prompted = true;
        prompt->AbortBtn->click();
    });
    w->Sequence().BT_SENDClick();
    EXPECT_TRUE(prompted);
    EXPECT_EQ(w->Lab_Msg->text(), QStringLiteral("포트 오픈 실패 !!"));
    EXPECT_FALSE(w->Sequence().Tevo->Open());
    SetPortPromptHook(nullptr);
}

TEST_F(MainWindowPortTest, PortBoxClosesTheOpenPortOnlyForAnotherText) {
    auto w = Window({QStringLiteral("7"), Q(firmware_), QStringLiteral("usb")});
    TDownloadSequence& s = w->Sequence();
    // The automatic start runs from Qt's loop and opens the port (USB mode: nothing is sent).
    QElapsedTimer clock;
    clock.start();
    while (!s.Tevo->Open() && clock.elapsed() < 5000) QTest::qWait(10);
    ASSERT_TRUE(s.Tevo->Open());
    // The box reporting the text it already shows (as on a focus change) leaves the port open;
    // the operator choosing another entry closes it.
    emit w->CB_PORT->textActivated(w->CB_PORT->currentText());
    EXPECT_TRUE(s.Tevo->Open());
    const int eight = w->CB_PORT->findText(QStringLiteral("8"));
    ASSERT_GE(eight, 0);
    w->CB_PORT->setCurrentIndex(eight);
    emit w->CB_PORT->textActivated(QStringLiteral("8"));
    EXPECT_FALSE(s.Tevo->Open());
    EXPECT_EQ(s.TevoComNumber(), 8);
}

}  // namespace
}  // namespace kavo
