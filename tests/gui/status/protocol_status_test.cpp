#include "status/protocol_status.h"
#include "status/qt/standard_display.h"
#include "transfer/protocol.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kavo {
namespace {

QString Text(QWidget* window, const char* name) {
    auto* label = window->findChild<QLabel*>(name);
    return label ? label->text() : QString("<missing %1>").arg(name);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// The owner window's components, as the main window sets them up.
struct Components {
    Components() {
        protocol = new TApdProtocol(&owner);
        status = new TApdProtocolStatus(&owner, MakeStandardDisplay);
        protocol->SetProtocolType(ptXmodem1K);
        protocol->SetStatusDisplay(status);
        status->SetPosition(TPosition::poDesigned);
        status->SetCtl3D(true);
        status->SetVisible(false);
    }
    TComponent owner;
    TApdProtocol* protocol = nullptr;
    TApdProtocolStatus* status = nullptr;
};

void Report(TApdCustomProtocol& protocol, WPARAM options) {
    SendMessage(protocol.MessageWindow(), ProtocolStatusMsg, options, 0);
}

TEST(ProtocolStatus, CreatesItsHiddenWindowWithTheCaption) {
    TApdProtocolStatus status(nullptr, MakeStandardDisplay);
    TStandardDisplay* window = StandardDisplayOf(status);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(status.Display(), window);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(status.Visible());
    EXPECT_EQ(status.Caption(), "Protocol Status");
    EXPECT_EQ(window->windowTitle(), "Protocol Status");
    EXPECT_EQ(status.Position(), TPosition::poDesigned);
    EXPECT_TRUE(status.Ctl3D());
    EXPECT_EQ(status.Protocol(), nullptr);
    EXPECT_EQ(Text(window, "psFileSize"), "999,999,999,999");
}

TEST(ProtocolStatus, ReportsOneZeroZeroTwoShowRefreshTwiceAndHide) {
    Components c;
    ASSERT_EQ(c.status->Protocol(), c.protocol);
    TStandardDisplay* window = StandardDisplayOf(*c.status);
    PaintCounter counter;
    window->installEventFilter(&counter);
    PaintCounter errorsField;
    window->findChild<QLabel*>("psTotalErrors")->installEventFilter(&errorsField);

    // The protocol component raises its own status event after the window has been updated.
    std::vector<std::string> seen;
    c.protocol->SetOnProtocolStatus([&](TApdCustomProtocol*, std::uint16_t options) {
        seen.push_back(std::to_string(options) + (window->isVisible() ? " shown " : " hidden ") +
                       Text(window, "psTotalErrors").toStdString() + " " +
                       Text(window, "psStatusMsg").toStdString());
    });

    ProtocolData& data = c.protocol->Data();
    data.FileLength = 3000;
    data.Status = psProtocolHandshake;
    Report(*c.protocol, 1);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(c.status->Visible());
    EXPECT_EQ(window->pos(), QPoint(363, 182));
    EXPECT_EQ(window->Protocol(), c.protocol);
    EXPECT_EQ(Text(window, "psProtocol"), "Xmodem1K");
    EXPECT_EQ(Text(window, "psBlockCheck"), "Crc16");
    EXPECT_EQ(Text(window, "psFileSize"), "3000");
    EXPECT_EQ(Text(window, "psBlockSize"), "1024");
    EXPECT_EQ(Text(window, "psTotalBlocks"), "2");
    EXPECT_EQ(Text(window, "psStatusMsg"), "Protocol handshaking in progress");
    // The window system exposes a newly shown window on its own time; from then on every report
    // must repaint at once, with no event processing between the report and the count.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    const int paintsAfterFirst = counter.paints;
    const int fieldPaintsAfterFirst = errorsField.paints;

    data.Status = psOK;
    data.TotalErrors = 1;
    Report(*c.protocol, 0);
    EXPECT_EQ(Text(window, "psTotalErrors"), "1");
    EXPECT_EQ(Text(window, "psStatusMsg"), "OK");
    const int paintsAfterSecond = counter.paints;
    EXPECT_GT(paintsAfterSecond, paintsAfterFirst);  // repainted at once, not later
    EXPECT_GT(errorsField.paints, fieldPaintsAfterFirst);  // the changed field among it

    data.TotalErrors = 2;
    data.Status = psBlockCheckError;
    Report(*c.protocol, 0);
    EXPECT_EQ(Text(window, "psTotalErrors"), "2");
    EXPECT_EQ(Text(window, "psStatusMsg"), "Bad checksum or CRC");
    EXPECT_GT(counter.paints, paintsAfterSecond);

    data.TotalErrors = 3;
    Report(*c.protocol, 2);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(c.status->Visible());
    EXPECT_EQ(Text(window, "psTotalErrors"), "2");  // the last report only hides

    const std::vector<std::string> expected{"1 shown 0 Protocol handshaking in progress",
                                            "0 shown 1 OK", "0 shown 2 Bad checksum or CRC",
                                            "2 hidden 2 Bad checksum or CRC"};
    EXPECT_EQ(seen, expected);

    // The next transfer shows the same window again.
    Report(*c.protocol, 1);
    EXPECT_TRUE(window->isVisible());
    Report(*c.protocol, 2);
    EXPECT_FALSE(window->isVisible());
}

TEST(ProtocolStatus, ForgetsAProtocolThatGoesAway) {
    TApdProtocolStatus status(nullptr, MakeStandardDisplay);
    {
        TApdProtocol protocol;
        status.SetProtocol(&protocol);
        status.UpdateDisplay(true, false);
        EXPECT_EQ(StandardDisplayOf(status)->Protocol(), &protocol);
    }
    EXPECT_EQ(status.Protocol(), nullptr);
    EXPECT_EQ(StandardDisplayOf(status)->Protocol(), nullptr);
    // Pressing Cancel now is harmless, and so is a report without a protocol.
    StandardDisplayOf(status)->CancelClick();
    status.UpdateDisplay(false, false);
    status.UpdateDisplay(false, true);
    EXPECT_FALSE(StandardDisplayOf(status)->isVisible());
}

TEST(ProtocolStatus, CancelWithoutTransferDoesNothing) {
    Components c;
    Report(*c.protocol, 1);
    bool finished = false;
    c.protocol->SetOnProtocolFinish([&](TApdCustomProtocol*, std::int32_t) { finished = true; });
    StandardDisplayOf(*c.status)->CancelClick();
    QCoreApplication::processEvents();
    ProcessMessages();
    EXPECT_FALSE(finished);
    Report(*c.protocol, 2);
}

}  // namespace
}  // namespace kavo
