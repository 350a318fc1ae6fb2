// The port component inside Qt's event loop, as the main window uses it: trigger events arrive
// through Qt's loop, and a close from inside a handler completes there too.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/qt/qt_glue.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "pty_pair.h"

namespace kavo {
namespace {

bool RunQtUntil(const std::function<bool()>& done, int deadlineMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > deadlineMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(ComPortInQtLoop, EventsArriveAndACloseFromTheHandlerCompletes) {
    InstallQtMessageGlue();
    struct Remove {
        ~Remove() {
            RemoveQtMessageGlue();
            unsetenv("KAVODOWN_PORTS");
        }
    } remove;
    sim::PtyPair line;
    unsetenv("KAVODOWN_PORTS");
    std::string ports = "5=" + line.DevicePath();
    int hidden = 200;
    for (const PortEntry& real : ListComPorts()) ports += "," + std::to_string(hidden++) + "=" + real.path;
    setenv("KAVODOWN_PORTS", ports.c_str(), 1);

    TApdComPort port;
    port.SetComNumber(5);
    port.SetBaud(115200);
    port.SetAutoOpen(false);
    std::string received;
    port.SetOnTriggerAvail([&](TApdCustomComPort* cp, std::uint16_t count) {
        for (int i = 0; i < count && cp->InputReady(); ++i) received += cp->ReadChar();
        if (received.find('\x06') != std::string::npos) cp->SetOpen(false);
    });
    port.SetOpen(true);
    line.Write("DD");
    ASSERT_TRUE(RunQtUntil([&] { return received.size() >= 2; }));
    EXPECT_EQ(port.LinkState(), lsOpen);
    line.Write("\x06");
    ASSERT_TRUE(RunQtUntil([&] { return port.LinkState() == lsClosed; }));
    EXPECT_EQ(received, "DD\x06");
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Dispatcher(), nullptr);
}

}  // namespace
}  // namespace kavo
