// The operator cancels a transfer from the status window of the running program: the transfer
// ends with "Cancel requested", and the main window closes the port and ends the program.
#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "gui/status/paced_receiver.h"
#include "serial/com_port.h"
#include "status/protocol_status.h"
#include "status/standard_display.h"
#include "pty_pair.h"
#include "transfer/protocol.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace kavo {
namespace {

TEST(StatusWindowInProgram, CancelEndsTheTransferAndTheProgram) {
    InstallQtMessageGlue();
    const std::filesystem::path config =
        std::filesystem::path(::testing::TempDir()) / ("kavo_status_cfg_" + std::to_string(getpid()));
    std::filesystem::create_directories(config);
    setenv("KAVODOWN_CONFIG_DIR", config.c_str(), 1);
    sim::PtyPair pty;
    setenv("KAVODOWN_PORTS", ("42=" + pty.DevicePath()).c_str(), 1);
    test::PacedReceiver receiver(pty, std::chrono::milliseconds(15));
    const std::string file = test::WriteFirmware(400 * 1024);

    {
        TFMain main({});
        TDownloadSequence& sequence = main.Sequence();
        std::vector<std::string> errors;
        sequence.SetErrorDisplay([&](const std::string& text) { errors.push_back(text); });
        main.CB_PORT->setEditText("42");
        sequence.CB_PORTChange();
        main.EDT_FName->setText(QString::fromStdString(file));
        std::optional<std::int32_t> finishCode;
        // Listen to the finish beside the window's own handler, which still runs.
        auto handler = sequence.ApdProtocol->OnProtocolFinish();
        sequence.ApdProtocol->SetOnProtocolFinish([&](TApdCustomProtocol* cp, std::int32_t code) {
            finishCode = code;
            if (handler) handler(cp, code);
        });
        QSignalSpy closed(&main, &TFMain::closed);
        TStandardDisplay* window = main.ApdProtocolStatus1->StandardDisplay();

        sequence.BT_SENDClick();
        receiver.Start();
        bool clicked = false;
        QElapsedTimer clock;
        clock.start();
        while (closed.count() == 0 && clock.elapsed() < 60000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            ProcessMessages();
            if (!clicked && window->isVisible() && sequence.ApdProtocol->BytesTransferred() > 0) {
                clicked = true;
                QTest::mouseClick(window->findChild<QPushButton*>("psCancel"), Qt::LeftButton);
            }
        }
        EXPECT_TRUE(clicked);
        ASSERT_EQ(closed.count(), 1);
        ASSERT_TRUE(finishCode.has_value());
        EXPECT_EQ(*finishCode, -6005);
        EXPECT_EQ(sequence.ExitCode(), 2);  // a cancelled transfer is a failed one
        EXPECT_FALSE(sequence.Tevo->Open());
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(errors.empty());
        EXPECT_LT(receiver.Blocks(), 400);
    }
    receiver.Stop();
    unsetenv("KAVODOWN_PORTS");
    unsetenv("KAVODOWN_CONFIG_DIR");
    std::filesystem::remove_all(config);
}

}  // namespace
}  // namespace kavo
