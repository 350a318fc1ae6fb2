// What only a pty shows of the POSIX layer: the modem lines read while someone waits for them, a
// port opened through a link that goes with its device, the far side's hang-up, the open's
// failures (held, missing, not a serial device, forbidden).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "port_fixture.h"
#include "serial/device_locks.h"
#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"
#include "support/temp_dir.h"

namespace kavo::test {
using namespace kavo::sim;
namespace {

using namespace std::chrono_literals;

// Counts the reads of the modem lines (a control transfer each on a USB adapter). A pty has no
// modem-line events, so this layer reads the lines itself while someone waits for them.
class ModemCountingDispatcher : public TApdPosixDispatcher {
public:
    using TApdPosixDispatcher::TApdPosixDispatcher;
    std::atomic<int> reads{0};
    std::uint8_t DeviceModemLevels() override {
        ++reads;
        return TApdPosixDispatcher::DeviceModemLevels();
    }
};

TEST_F(PortTest, ModemLinesAreReadOnlyWhileSomeoneWaitsForThem) {
    ModemCountingDispatcher counting(nullptr);
    ASSERT_EQ(counting.OpenPort(PortName(), 115200, kParityNone, 8, 1, 4096,
                                4096, 0),
              0);
    // Idle passes and passes with bytes to read: nobody asks, so nothing is read.
    const int atOpen = counting.reads;
    peer->Write("abc");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(counting.reads, atOpen);
    // A modem status trigger waits for CTS: the lines are read, once a pass (a pass at least
    // every 50 ms).
    const int trigger = counting.CreateStatusTrigger(stModem);
    ASSERT_GT(trigger, 0);
    ASSERT_EQ(counting.ArmStatusTrigger(trigger, static_cast<std::uint16_t>(msCts << 8), true), 0);
    const int armed = counting.reads;
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(counting.reads - armed, 3);
    EXPECT_LE(counting.reads - armed, 14);
    counting.ClosePort();
}

// A port named by a link (a /dev/serial/by-path name, a simulator's link) whose device goes away
// with the link: its lock file must still be the one removed at close, or the device's next
// user (the same name, plugged in again) finds it held by this still-running process.
// Counts the rounds of the device thread and the passes of the dispatcher thread.
class TurnCountingDispatcher : public TApdPosixDispatcher {
public:
    using TApdPosixDispatcher::TApdPosixDispatcher;
    // The workers may still call WorkerTurn while the base closes: stop them first.
    ~TurnCountingDispatcher() override { Shutdown(); }
    std::atomic<int> deviceTurns{0};
    std::atomic<int> passes{0};

protected:
    void WorkerTurn(TWorker worker) override {
        if (worker == TWorker::device) ++deviceTurns;
        if (worker == TWorker::dispatcher) ++passes;
    }
};

// The device thread reports an arrival (unless the dispatcher thread, which watches the device
// too, has taken the bytes first) and waits for the pass that serves it. The timed passes before
// it must not let that wait end at once, or the thread polls the unread device again and runs
// beside the very pass that answers the byte (a sender's reply to an ACK).
TEST_F(PortTest, AnArrivalTakesOneRoundOfTheDeviceThreadAfterTimedPasses) {
    auto* counting = UseDispatcher<TurnCountingDispatcher>();
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    counting->AttachTriggerHandler(RecordingHandler);
    counting->SetAvailTriggerLevel(1);
    const int arrivals = 4;
    for (int i = 1; i <= arrivals; ++i) {
        const int passes = counting->passes;
        ASSERT_TRUE(log.WaitFor([&] { return counting->passes >= passes + 2; }));  // timed passes
        peer->Write("x");
        ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() == static_cast<std::size_t>(i); }));
    }
    const int passes = counting->passes;
    ASSERT_TRUE(log.WaitFor([&] { return counting->passes >= passes + 2; }));
    // At most one round per arrival; one more may come when an arrival meets a pass under way.
    EXPECT_LE(counting->deviceTurns, arrivals + 1);
}

TEST_F(PortTest, LockFileOfAPortOpenedThroughALinkIsRemovedAfterTheDeviceWentAway) {
    TempDir folder("kavo-lock");
    const std::string locks = (folder / "locks").string();
    std::filesystem::create_directory(locks);
    const char* savedLocks = std::getenv("KAVODOWN_LOCK_DIR");
    const std::string saved = savedLocks ? savedLocks : "";
    setenv("KAVODOWN_LOCK_DIR", locks.c_str(), 1);
    const std::string link = (folder / "slot1").string();
    std::filesystem::create_symlink(peer->DevicePath(), link);
    setenv("KAVODOWN_PORTS", (std::to_string(port) + "=" + link).c_str(), 1);
    const std::string lockFile = LockFilePath(peer->DevicePath(), locks);

    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(std::filesystem::exists(lockFile));
    std::filesystem::remove(link);  // unplugged: the link and the device go
    peer->CloseControl();
    ASSERT_TRUE(HandlerLog::Get().WaitFor([&] { return dispatcher->DeviceLost(); }));
    dispatcher->ClosePort();
    EXPECT_FALSE(std::filesystem::exists(lockFile)) << lockFile << " left behind";
    EXPECT_TRUE(std::filesystem::is_empty(locks));

    if (savedLocks) setenv("KAVODOWN_LOCK_DIR", saved.c_str(), 1);
    else unsetenv("KAVODOWN_LOCK_DIR");
}

TEST_F(PortTest, HangUpOfTheFarSideIsReportedAndClosingStillEnds) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    dispatcher->AttachTriggerHandler(RecordingHandler);
    int used = dispatcher->CreateStatusTrigger(stOutBuffUsed);
    peer->CloseControl();
    ASSERT_TRUE(log.WaitFor([&] { return dispatcher->DeviceLost(); }));
    EXPECT_EQ(dispatcher->SendBlock("abc", 3), ecDeviceWrite);
    EXPECT_EQ(dispatcher->OutputUsed(), 0u);
    EXPECT_FALSE(dispatcher->CarrierPresent());
    // A protocol waiting for the output to drain is told so instead of waiting forever.
    ASSERT_EQ(dispatcher->ArmStatusTrigger(used, 0, true), 0);
    ASSERT_TRUE(log.WaitFor([&] {
        for (const auto& d : log.Deliveries())
            if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(used)) return true;
        return false;
    }));
    // A close while a delivery runs completes when the dispatcher thread ends.
    dispatcher->ClosePort();
    EXPECT_TRUE(log.WaitFor([&] { return dispatcher->ActiveThreads() == 0; }));
    EXPECT_FALSE(dispatcher->ThreadsStarted());
}

TEST_F(PortTest, OpenFailuresTellHeldMissingAndForbiddenApart) {
    // Held by another program (a lock on the device).
    int other = ::open(peer->DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Open(), ecAccessDenied);
    EXPECT_NE(dispatcher->LastOpenErrorText().find("held by another program"), std::string::npos);
    EXPECT_TRUE(PortAvailable(port));
    ::close(other);
    EXPECT_TRUE(PortAvailable(port));

    // Missing: a number without a device, and a mapped path that does not exist.
    EXPECT_FALSE(PortAvailable(0));
    setenv("KAVODOWN_PORTS", (std::to_string(port) + "=/nonexistent/ttyX").c_str(), 1);
    EXPECT_EQ(Open(), ecFileNotFound);
    EXPECT_FALSE(PortAvailable(port));
    EXPECT_FALSE(dispatcher->ThreadsStarted());

    // Not a serial device at all.
    char file[] = "/tmp/kavo-not-a-tty-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    setenv("KAVODOWN_PORTS", (std::to_string(port) + "=" + file).c_str(), 1);
    EXPECT_EQ(Open(), ecFileNotFound);
    EXPECT_NE(dispatcher->LastOpenErrorText().find("not a serial device"), std::string::npos);
    ::unlink(file);
}

TEST_F(PortTest, PermissionProblemHasItsOwnCodeAndText) {
    // The pty is the test's own. A normal user is refused by mode 0; root passes every mode
    // check, so its child drops to nobody and meets a mode-0600 device of root's.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(peer->DevicePath().c_str(), root ? 0600 : 0), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        TApdPosixDispatcher probe(nullptr);
        int result = probe.OpenPort(PortName(), 115200, kParityNone, 8, 1, 4096, 4096, 0);
        std::string text = probe.LastOpenErrorText();
        // The port exists for this user all the same, so the prompt offers it and opening it
        // tells why it fails.
        bool ok = result == ecDevicePermission && text.find(peer->DevicePath()) != std::string::npos &&
                  text.find("dialout") != std::string::npos && PortAvailable(port);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "running as root without the right to become nobody (setuid)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kavo::test
