// The port component over pseudo-terminals mapped with KAVODOWN_PORTS: opening, bytes both ways,
// closing (also from inside a delivery), busy, missing and forbidden devices, and moving an open
// port to another number.
#include "serial/com_port.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "serial/dispatcher.h"
#include "serial/port_map.h"
#include "pty_pair.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// Runs the calling thread's messages until `done` holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 5000ms) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        WaitForMessage(20);
        ProcessMessages();
    }
    return true;
}

std::string AsText(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

class PortOverPty : public ::testing::Test {
protected:
    void SetUp() override { Map({{5, line.DevicePath()}}); }
    void TearDown() override { unsetenv("KAVODOWN_PORTS"); }

    // Maps the test's ports; the machine's own serial ports are moved to numbers the tests do not
    // use, so that no test depends on the hardware present.
    static void Map(const std::vector<std::pair<int, std::string>>& ports) {
        unsetenv("KAVODOWN_PORTS");
        std::string value;
        int hidden = 200;
        for (const PortEntry& real : ListComPorts())
            value += (value.empty() ? "" : ",") + std::to_string(hidden++) + "=" + real.path;
        for (const auto& [n, path] : ports) value += (value.empty() ? "" : ",") + std::to_string(n) + "=" + path;
        setenv("KAVODOWN_PORTS", value.c_str(), 1);
    }

    static void Configure(TApdComPort& port, int number) {
        port.SetComNumber(static_cast<std::uint16_t>(number));
        port.SetBaud(115200);
        port.SetAutoOpen(false);
    }

    // Opens `port` on COM5 with its trace and log running into the given files, and sends "DDD"
    // through it so that both have something to write.
    void OpenTracedAndLogged(TApdComPort& port, const std::string& traceFile, const std::string& logFile) {
        Configure(port, 5);
        port.SetTraceName(traceFile);
        port.SetLogName(logFile);
        port.SetOpen(true);
        port.SetTracing(tlOn);
        port.SetLogging(tlOn);
        port.SendString("DDD");
        EXPECT_EQ(AsText(line.Read(3, 5000ms)), "DDD");
    }

    sim::PtyPair line;
};

TEST_F(PortOverPty, OpensExchangesBytesAndClosesWithUserNotifications) {
    TApdComPort port;
    Configure(port, 5);
    std::vector<std::string> events;
    int user = 0;
    port.AddPortUser(
        [&](TApdCustomComPort* cp, PortUserEvent e) {
            EXPECT_EQ(cp, &port);
            events.push_back(e == pueOpened ? "opened" : e == pueClosing ? "closing" : "closed");
        },
        &user);
    port.SetOnPortOpen([&](TComponent*) { events.push_back("OnPortOpen"); });
    port.SetOnPortClose([&](TComponent*) { events.push_back("OnPortClose"); });
    std::string received;
    port.SetOnTriggerAvail([&](TApdCustomComPort* cp, std::uint16_t count) {
        for (int i = 0; i < count && cp->InputReady(); ++i) received += cp->ReadChar();
    });

    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.LinkState(), lsOpen);
    ASSERT_NE(port.Dispatcher(), nullptr);
    EXPECT_NE(port.NotifyWindow(), 0u);
    EXPECT_EQ(port.Dispatcher()->DeviceNameText(), "COM5");

    port.SendString("DDD");
    EXPECT_TRUE(PumpUntil([&] { return port.OutputUsed() == 0; }));
    EXPECT_EQ(AsText(line.Read(3, 5000ms)), "DDD");

    line.Write(std::string("\x06hello", 6));
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= 6; }));
    EXPECT_EQ(received, std::string("\x06hello", 6));

    // The dispatcher thread may still be finishing the last delivery; the close then completes
    // once it has (as a close from inside a handler does).
    port.SetOpen(false);
    EXPECT_TRUE(PumpUntil([&] { return port.LinkState() == lsClosed; }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), 0u);
    EXPECT_EQ(events, (std::vector<std::string>{"opened", "OnPortOpen", "closing", "closed", "OnPortClose"}));

    // A closed port can be opened again.
    port.SetOpen(true);
    EXPECT_EQ(port.LinkState(), lsOpen);
    port.SetOpen(false);
}

TEST_F(PortOverPty, ByteOperationFailuresRaiseTheirClasses) {
    TApdComPort port;
    Configure(port, 5);
    port.SetOutSize(16);
    port.SetOpen(true);
    try {
        port.ReadChar();
        ADD_FAILURE() << "ReadChar with nothing received raised nothing";
    } catch (const EBufferIsEmpty& e) {
        EXPECT_STREQ(e.what(), "Buffer is empty");
    }
    EXPECT_FALSE(port.InputReady());
    EXPECT_THROW(port.SendString(std::string(17, 'x')), EOutputBufferTooSmall);
    EXPECT_EQ(port.OutputUsed(), 0u) << "a refused block queues nothing";
    EXPECT_NO_THROW(port.SendString(""));
    EXPECT_THROW(port.ArmTimerTrigger(12345, 1, true), EBadTriggerHandle);
    int timer = port.CreateTimerTrigger();
    EXPECT_GT(timer, 0);
    EXPECT_NO_THROW(port.ArmTimerTrigger(static_cast<std::uint16_t>(timer), 1, true));
    EXPECT_NO_THROW(port.DeleteTrigger(static_cast<std::uint16_t>(timer)));
    EXPECT_THROW(port.DeleteTrigger(static_cast<std::uint16_t>(timer)), EBadTriggerHandle);
    port.SetOpen(false);
}

TEST_F(PortOverPty, BusyPortRaisesAlreadyOpenAndALaterOpenSucceeds) {
    TApdComPort first;
    Configure(first, 5);
    first.SetOpen(true);

    TApdComPort second;
    Configure(second, 5);
    try {
        second.SetOpen(true);
        ADD_FAILURE() << "a port held by another owner opened twice";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(std::string(e.what()).rfind("ie_Open - device already open", 0), 0u) << e.what();
        EXPECT_EQ(e.ErrorCode(), -2008);
    }
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.LinkState(), lsClosed);
    EXPECT_EQ(second.Dispatcher(), nullptr);

    first.SetOpen(false);
    second.SetOpen(true);
    EXPECT_EQ(second.LinkState(), lsOpen);
    second.SetOpen(false);
}

TEST_F(PortOverPty, MissingPortRaisesBadId) {
    for (int number : {6, 9}) {  // 6 maps to nothing that exists, 9 is not mapped at all
        Map({{5, line.DevicePath()}, {6, "/nonexistent/kavodown-tty"}});
        TApdComPort port;
        Configure(port, number);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "COM" << number << " opened";
        } catch (const EBadId& e) {
            EXPECT_EQ(std::string(e.what()).rfind("ie_BadId - Specified comport doesn't exist", 0), 0u)
                << e.what();
        }
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.LinkState(), lsClosed);
    }
}

// Opens COM5 and reports the failure's text; in a child process that has dropped root, because
// root may open any device.
std::string OpenFailureAsNobody() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        std::string text = "opened";
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            text = "cannot drop root";
        } else {
            try {
                TApdComPort port;
                port.SetComNumber(5);
                port.SetAutoOpen(false);
                port.SetOpen(true);
                port.SetOpen(false);
            } catch (const std::exception& e) {
                text = e.what();
            }
        }
        ssize_t written = write(pipeFds[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return text;
}

TEST_F(PortOverPty, PermissionProblemNamesTheDeviceAndTheGroup) {
    std::string text;
    if (geteuid() == 0) {
        // The pty belongs to root with no access for others.
        ASSERT_EQ(chmod(line.DevicePath().c_str(), 0600), 0);
        text = OpenFailureAsNobody();
    } else {
        ASSERT_EQ(chmod(line.DevicePath().c_str(), 0), 0);
        TApdComPort port;
        Configure(port, 5);
        try {
            port.SetOpen(true);
            text = "opened";
        } catch (const std::exception& e) {
            text = e.what();
        }
        EXPECT_EQ(port.LinkState(), lsClosed);
    }
    EXPECT_NE(text.find(line.DevicePath()), std::string::npos) << text;
    EXPECT_NE(text.find("dialout"), std::string::npos) << text;
}

TEST_F(PortOverPty, CloseFromInsideTheAvailabilityHandlerCompletesAfterTheDelivery) {
    TApdComPort port;
    Configure(port, 5);
    bool closeEventDuringCall = false;
    bool inHandler = false;
    bool openAfterClose = false;
    int deliveries = 0;
    port.SetOnPortClose([&](TComponent*) { closeEventDuringCall = inHandler; });
    port.SetOnTriggerAvail([&](TApdCustomComPort* cp, std::uint16_t) {
        ++deliveries;
        inHandler = true;
        cp->SetOpen(false);
        inHandler = false;
        openAfterClose = cp->Open();
        cp->SetOpen(true);  // changes nothing: Open still reads True
        EXPECT_EQ(cp->LinkState(), lsClosing);
        // Operations on a closing port do nothing.
        EXPECT_FALSE(cp->InputReady());
        EXPECT_EQ(cp->ReadChar(), 0);
        EXPECT_NO_THROW(cp->SendString("ignored"));
    });
    port.SetOpen(true);
    line.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return deliveries > 0; }));
    EXPECT_TRUE(closeEventDuringCall) << "OnPortClose runs during the close call";
    EXPECT_TRUE(openAfterClose) << "Open reads True until the posted message is handled";
    ASSERT_TRUE(PumpUntil([&] { return port.LinkState() == lsClosed; }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), 0u);
    EXPECT_EQ(deliveries, 1);
    EXPECT_TRUE(line.ReadUntilQuiet(100ms, 500ms).empty()) << "nothing was sent while closing";

    // And the port opens normally afterwards.
    port.SetOnTriggerAvail(nullptr);
    port.SetOpen(true);
    EXPECT_EQ(port.LinkState(), lsOpen);
    port.SetOpen(false);
}

TEST_F(PortOverPty, ChangingTheNumberWhileOpenReopensOnTheNewDeviceAndKeepsTriggers) {
    sim::PtyPair other;
    Map({{5, line.DevicePath()}, {6, other.DevicePath()}});
    TApdComPort port;
    Configure(port, 5);
    port.SetOpen(true);
    int timer = port.CreateTimerTrigger();
    ASSERT_GT(timer, 0);

    port.SetComNumber(6);
    EXPECT_EQ(port.ComNumber(), 6);
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_NO_THROW(port.ArmTimerTrigger(static_cast<std::uint16_t>(timer), 100, true))
        << "the trigger survived the move";
    port.SendString("moved");
    EXPECT_EQ(AsText(other.Read(5, 5000ms)), "moved");
    EXPECT_TRUE(line.ReadUntilQuiet(100ms, 300ms).empty());
    port.SetOpen(false);
}

TEST_F(PortOverPty, TracingSetWhileClosedStartsAtOpen) {
    TApdComPort port;
    Configure(port, 5);
    port.SetTracing(tlOn);
    port.SetOpen(true);
    ASSERT_NE(port.Dispatcher(), nullptr);
    EXPECT_TRUE(port.Dispatcher()->Tracing());
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlPause);
    port.SetTracing(tlOff);
    EXPECT_FALSE(port.Dispatcher()->Tracing());
    port.SetOpen(false);
}

TEST_F(PortOverPty, TraceAndLogDumpToTheirFilesAndStop) {
    char folder[] = "/tmp/kavo-trace-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string traceFile = std::string(folder) + "/TEVO.TRC";
    const std::string logFile = std::string(folder) + "/TEVO.LOG";
    TApdComPort port;
    OpenTracedAndLogged(port, traceFile, logFile);

    port.SetTracing(tlDump);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_FALSE(port.Dispatcher()->Tracing());
    struct stat info {};
    ASSERT_EQ(stat(traceFile.c_str(), &info), 0) << "the dump wrote " << traceFile;
    EXPECT_GT(info.st_size, 0);

    // A size change restarts a running log; a paused one is left off.
    port.SetLogging(tlPause);
    port.SetLogSize(20000);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_FALSE(port.Dispatcher()->Logging());
    port.SetLogging(tlOn);
    port.SetLogSize(30000);
    EXPECT_EQ(port.Logging(), tlOn);
    EXPECT_TRUE(port.Dispatcher()->Logging());

    // Closing dumps what is still running.
    port.SetOpen(false);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(stat(logFile.c_str(), &info), 0) << "the close wrote " << logFile;
    std::remove(traceFile.c_str());
    std::remove(logFile.c_str());
    rmdir(folder);
}

TEST_F(PortOverPty, ATraceThatCannotBeWrittenStillLetsTheLogBeWrittenAndThePortClose) {
    char folder[] = "/tmp/kavo-trace-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string traceFile = std::string(folder) + "/gone/TEVO.TRC";
    const std::string logFile = std::string(folder) + "/TEVO.LOG";
    TApdComPort port;
    OpenTracedAndLogged(port, traceFile, logFile);

    try {
        port.SetOpen(false);
        ADD_FAILURE() << "the failed trace was not reported";
    } catch (const std::exception& e) {
        // The error names the file that was not written.
        EXPECT_NE(std::string(e.what()).find(traceFile), std::string::npos) << e.what();
    }
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Dispatcher(), nullptr);
    struct stat info {};
    ASSERT_EQ(stat(logFile.c_str(), &info), 0) << "the close wrote " << logFile;
    EXPECT_GT(info.st_size, 0);
    // The device is free again: the port opens once more.
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    port.SetOpen(false);
    std::filesystem::remove_all(folder);
}

// Counts the trigger messages that reach the port's window, whatever events are assigned.
class CountingPort : public TApdComPort {
public:
    int fired = 0;

protected:
    void FireTrigger(std::uint16_t msg, std::uint16_t handle, std::uint16_t data) override {
        ++fired;
        TApdComPort::FireTrigger(msg, handle, data);
    }
};

TEST_F(PortOverPty, EventInterestFollowsTheAssignedEvents) {
    CountingPort port;
    Configure(port, 5);
    port.SetOnTrigger([&](TApdCustomComPort*, std::uint16_t msg, std::uint16_t first, std::uint16_t data) {
        EXPECT_EQ(msg, kTriggerAvail);
        EXPECT_EQ(first, data);
        while (port.InputReady()) port.ReadChar();
    });
    port.SetOpen(true);
    line.Write("abc");
    ASSERT_TRUE(PumpUntil([&] { return port.fired > 0; }));

    // With no event left, the port's window gets nothing more: the bytes wait in the port.
    port.SetOnTrigger(nullptr);
    const int before = port.fired;
    line.Write("def");
    ASSERT_TRUE(PumpUntil([&] { return port.Dispatcher()->InputUsed() == 3; }));
    PumpUntil([] { return false; }, 300ms);
    EXPECT_EQ(port.fired, before);

    // Assigned again, the window hears of them.
    port.SetOnTrigger([&](TApdCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t) {
        while (port.InputReady()) port.ReadChar();
    });
    line.Write("g");
    EXPECT_TRUE(PumpUntil([&] { return port.fired > before; }));
    port.SetOpen(false);
}

TEST_F(PortOverPty, TimerAndStatusTriggersBecomeTheirEvents) {
    TApdComPort port;
    Configure(port, 5);
    std::vector<std::string> seen;
    port.SetOnTrigger([&](TApdCustomComPort*, std::uint16_t msg, std::uint16_t handle, std::uint16_t) {
        seen.push_back("trigger " + std::to_string(msg) + " " + std::to_string(handle));
    });
    port.SetOnTriggerTimer([&](TApdCustomComPort*, std::uint16_t handle) {
        seen.push_back("timer " + std::to_string(handle));
    });
    port.SetOnTriggerStatus([&](TApdCustomComPort*, std::uint16_t handle) {
        seen.push_back("status " + std::to_string(handle));
    });
    port.SetOnTriggerOutbuffUsed([&](TComponent* sender) {
        EXPECT_EQ(sender, &port);
        seen.push_back("outbuff used");
    });
    port.SetOpen(true);

    int timer = port.CreateTimerTrigger();
    port.ArmTimerTrigger(static_cast<std::uint16_t>(timer), 1, true);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen[0], "trigger " + std::to_string(kTriggerTimer) + " " + std::to_string(timer));
    EXPECT_EQ(seen[1], "timer " + std::to_string(timer));

    seen.clear();
    int status = port.CreateStatusTrigger(stOutBuffUsed);
    EXPECT_EQ(status & 7, static_cast<int>(stOutBuffUsed));
    port.ArmStatusTrigger(static_cast<std::uint16_t>(status), 0, true);  // fires once output is empty
    ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 3; }));
    EXPECT_EQ(seen[0], "trigger " + std::to_string(kTriggerStatus) + " " + std::to_string(status));
    EXPECT_EQ(seen[1], "status " + std::to_string(status));
    EXPECT_EQ(seen[2], "outbuff used");
    port.SetOpen(false);
}

TEST_F(PortOverPty, WindowAndOpenCloseUsersAreToldInReverseOrder) {
    std::vector<std::string> heard;
    HWND window = CreateMessageWindow([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        heard.push_back(msg == kPortOpenedMessage    ? "window opened"
                        : msg == kPortClosedMessage  ? "window closed"
                        : msg == kPortClosingMessage ? "window closing"
                                                     : "window other");
        return 0;
    });
    TApdComPort port;
    Configure(port, 5);
    PortUser windowUser;
    windowUser.window = window;
    windowUser.usesEventCallback = true;
    port.AddPortUserRecord(windowUser);
    PortUser plain;
    plain.openCloseCallback = [&](TApdCustomComPort*, bool opening) {
        heard.push_back(opening ? "callback opened" : "callback closed");
    };
    port.AddPortUserRecord(plain);

    port.SetOpen(true);
    port.SetOpen(false);
    PumpUntil([&] { return port.LinkState() == lsClosed; });
    // The last registered hears first; a user without the event callback hears no "closing".
    EXPECT_EQ(heard, (std::vector<std::string>{"callback opened", "window opened", "window closing",
                                               "callback closed", "window closed"}));
    DestroyMessageWindow(window);
}

TEST_F(PortOverPty, AnExceptionFromAHandlerIsShownAndThePortGoesOn) {
    std::vector<std::string> shown;
    SetExceptionDisplay([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.push_back(e.what());
        }
    });
    struct Restore {
        ~Restore() { SetExceptionDisplay(nullptr); }
    } restore;
    TApdComPort port;
    Configure(port, 5);
    std::string received;
    port.SetOnTriggerAvail([&](TApdCustomComPort* cp, std::uint16_t) {
        received += cp->ReadChar();
        if (received.size() == 1) throw std::runtime_error("handler failed");
    });
    port.SetOpen(true);
    line.Write("a");
    ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    EXPECT_EQ(shown[0], "handler failed");
    line.Write("b");
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 2; }));
    EXPECT_EQ(received, "ab");
    EXPECT_EQ(port.LinkState(), lsOpen);
    port.SetOpen(false);
}

TEST_F(PortOverPty, AHungUpLineStillClosesCleanly) {
    TApdComPort port;
    Configure(port, 5);
    int avail = 0;
    port.SetOnTriggerAvail([&](TApdCustomComPort* cp, std::uint16_t) {
        ++avail;
        while (cp->InputReady()) cp->ReadChar();
    });
    port.SetOpen(true);
    line.CloseControl();  // the adapter is unplugged
    ASSERT_TRUE(PumpUntil([&] { return port.Dispatcher()->DeviceLost(); }));
    EXPECT_EQ(port.OutputUsed(), 0u) << "nothing waits for a device that is gone";
    port.SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return port.LinkState() == lsClosed; }));
    EXPECT_EQ(port.Dispatcher(), nullptr);
}

}  // namespace
}  // namespace kavo
