#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "pty_port_fixture.h"
#include "serial/device_locks.h"
#include "serial/error_codes.h"
#include "serial/native_dispatcher.h"
#include "support/temp_dir.h"

namespace kavo::test {
using namespace kavo::sim;
namespace {

using namespace std::chrono_literals;

TEST_F(PtyPortTest, BytesTravelBothWaysExactly) {
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(dispatcher->ThreadsStarted());
    EXPECT_EQ(dispatcher->DevicePath(), pty->DevicePath());
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);

    auto incoming = Pattern(3000);
    pty->Write(incoming);
    auto& log = HandlerLog::Get();
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() >= incoming.size(); }));
    EXPECT_EQ(log.Bytes(), incoming);
    for (const auto& d : log.Deliveries()) {
        EXPECT_EQ(d.msg, kTriggerAvail);
        EXPECT_EQ(static_cast<std::uint32_t>(d.lParam) >> 16, static_cast<std::uint32_t>(dispatcher->Handle()));
        EXPECT_EQ(d.lParam & 0xFFFF, 0);
    }
    EXPECT_EQ(dispatcher->InputUsed(), 0u);

    auto outgoing = Pattern(4000, 11);
    ASSERT_EQ(dispatcher->SendBlock(outgoing.data(), outgoing.size()), 0);
    EXPECT_EQ(pty->Read(outgoing.size(), 10s), outgoing);
    ASSERT_TRUE(log.WaitFor([&] { return dispatcher->OutputUsed() == 0; }));
    EXPECT_EQ(dispatcher->SendBlock(outgoing.data(), 4097), ecOutputBufferTooSmall);

    // The last delivery may still be ending: then the close completes with the dispatcher thread.
    dispatcher->ClosePort();
    EXPECT_TRUE(log.WaitFor([&] { return !dispatcher->ThreadsStarted(); }));
    EXPECT_EQ(dispatcher->ActiveThreads(), 0);
    EXPECT_EQ(dispatcher->DevicePath(), "");
}

TEST_F(PtyPortTest, StreamLargerThanBothRingsArrivesInOrder) {
    ASSERT_EQ(Open(1024), 0);
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    const std::size_t size = 256 * 1024;
    auto incoming = Pattern(size);
    std::thread writer([&] { pty->Write(incoming); });
    auto outgoing = Pattern(size, 5);
    std::size_t sent = 0;
    std::vector<std::uint8_t> received;
    auto& log = HandlerLog::Get();
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((sent < size || received.size() < size) && std::chrono::steady_clock::now() < deadline) {
        if (sent < size) {
            std::uint32_t room = dispatcher->OutputFree();
            std::uint32_t chunk = std::min<std::size_t>(room, size - sent);
            if (chunk > 0) {
                ASSERT_EQ(dispatcher->SendBlock(outgoing.data() + sent, chunk), 0);
                sent += chunk;
            }
        }
        auto part = pty->Read(size - received.size(), 5ms);
        received.insert(received.end(), part.begin(), part.end());
    }
    writer.join();
    EXPECT_EQ(sent, size);
    EXPECT_TRUE(received == outgoing) << "received " << received.size() << " bytes";
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() >= size; }, 30s));
    EXPECT_TRUE(log.Bytes() == incoming);
}

TEST_F(PtyPortTest, FullReceiveRingHoldsBackTheDeviceUntilSpaceFrees) {
    ASSERT_EQ(Open(), 0);
    // No handler reads: the bytes pile up in the ring.
    auto incoming = Pattern(kReceiveRingSize + 1000);
    std::thread writer([&] { pty->Write(incoming); });
    auto& log = HandlerLog::Get();
    ASSERT_TRUE(log.WaitFor([&] { return dispatcher->InputUsed() == kReceiveRingSize; }));
    EXPECT_EQ(dispatcher->InputFree(), 0u);
    EXPECT_TRUE(dispatcher->InputReady());
    EXPECT_EQ(dispatcher->PeekByte(kReceiveRingSize), incoming[kReceiveRingSize - 1]);
    EXPECT_EQ(dispatcher->PeekByte(kReceiveRingSize + 1), ecBufferIsEmpty);
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 500; ++i) got.push_back(static_cast<std::uint8_t>(dispatcher->ReadChar()));
    // Space freed: the rest comes in from the device.
    std::size_t index = 0;
    ASSERT_TRUE(log.WaitFor([&] {
        while (got.size() < incoming.size() && dispatcher->InputReady()) {
            got.push_back(static_cast<std::uint8_t>(dispatcher->ReadChar()));
            ++index;
        }
        return got.size() == incoming.size();
    }, 10s)) << got.size();
    writer.join();
    EXPECT_TRUE(got == incoming);
    EXPECT_EQ(dispatcher->ReadChar(), ecBufferIsEmpty);
}

TEST_F(PtyPortTest, AvailabilityCountsAllUnreadBytesAndAdvancesByTheLargestTake) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    {
        std::lock_guard lock(log.mutex);
        log.takeLimit = 0;  // take nothing
    }
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    pty->Write("abcde");
    ASSERT_TRUE(log.WaitFor([&] {
        auto d = log.Deliveries();
        return !d.empty() && d.back().first == 5;
    }));
    EXPECT_EQ(dispatcher->InputUsed(), 5u);  // nothing taken, nothing lost
    {
        std::lock_guard lock(log.mutex);
        log.takeLimit = 3;
    }
    pty->Write("fg");
    ASSERT_TRUE(log.WaitFor([&] { return log.ByteCount() == 3; }));
    auto d = log.Deliveries();
    EXPECT_EQ(d.back().first, 7u);  // the earlier five and the new two
    EXPECT_EQ(log.Bytes(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(dispatcher->InputUsed(), 4u);
    EXPECT_EQ(dispatcher->ReadChar(), 'd');
}

TEST_F(PtyPortTest, TimerAndOutputStatusTriggersFire) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    dispatcher->AttachTriggerHandler(RecordingHandler);
    int timer = dispatcher->CreateTimerTrigger();
    ASSERT_GT(timer, 0);
    ASSERT_EQ(dispatcher->ArmTimerTrigger(timer, 2, true), 0);
    ASSERT_TRUE(log.WaitFor([&] {
        for (const auto& d : log.Deliveries())
            if (d.msg == kTriggerTimer && d.first == static_cast<std::uint32_t>(timer)) return true;
        return false;
    }));
    std::int32_t left = -1;
    EXPECT_EQ(dispatcher->TimerTicksLeft(timer, left), 0);
    EXPECT_EQ(left, 0);

    int used = dispatcher->CreateStatusTrigger(stOutBuffUsed);
    int sent = dispatcher->CreateStatusTrigger(stOutSent);
    ASSERT_EQ(used & 7, static_cast<int>(stOutBuffUsed));
    ASSERT_EQ(dispatcher->ArmStatusTrigger(used, 0, true), 0);
    ASSERT_EQ(dispatcher->ArmStatusTrigger(sent, 0, true), 0);
    auto block = Pattern(2000);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    EXPECT_EQ(pty->Read(block.size(), 10s), block);
    auto fired = [&](int handle) {
        for (const auto& d : log.Deliveries())
            if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(handle)) return true;
        return false;
    };
    ASSERT_TRUE(log.WaitFor([&] { return fired(used) && fired(sent); }));
    for (const auto& d : log.Deliveries()) {
        if (d.msg == kTriggerStatus && d.first == static_cast<std::uint32_t>(used)) {
            EXPECT_EQ(d.lParam & 0xFFFF, 0);  // the count: nothing left in the ring
        }
    }
}

TEST_F(PtyPortTest, CloseFromInsideADeliveryCompletesWhenTheDispatcherThreadEnds) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    std::atomic<int> closes{0};
    {
        std::lock_guard lock(log.mutex);
        log.extra = [&](const Delivery&) {
            if (closes++ == 0) log.dispatcher->ClosePort();
        };
    }
    dispatcher->SetAvailTriggerLevel(1);
    dispatcher->AttachTriggerHandler(RecordingHandler);
    pty->Write("x");
    ASSERT_TRUE(log.WaitFor([&] { return closes.load() > 0; }));
    ASSERT_TRUE(log.WaitFor([&] { return !dispatcher->ThreadsStarted(); }));
    EXPECT_EQ(dispatcher->ActiveThreads(), 0);
    EXPECT_TRUE(dispatcher->ClosePending());
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(dispatcher->DevicePath(), "");  // the device was released
    dispatcher.reset();  // destruction after a pending close
    // The port can be opened again by a new dispatcher.
    dispatcher = std::make_unique<TApdPosixDispatcher>(nullptr);
    EXPECT_EQ(Open(), 0);
}

TEST_F(PtyPortTest, FlushWhileAWriteIsStuckEmptiesTheRing) {
    ASSERT_EQ(Open(65536), 0);
    // Nobody reads the far end: the pty fills and the output thread waits for room.
    auto block = Pattern(65536);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    auto& log = HandlerLog::Get();
    // Wait until the device has taken what it can and the rest is stuck in the ring.
    std::uint32_t last = 0;
    ASSERT_TRUE(log.WaitFor([&] {
        std::uint32_t now = dispatcher->OutputUsed();
        bool steady = now == last && now > 0 && now < block.size();
        last = now;
        if (!steady) std::this_thread::sleep_for(20ms);
        return steady;
    }));
    EXPECT_EQ(dispatcher->FlushOutput(), 0);
    EXPECT_EQ(dispatcher->OutputUsed(), 0u);
    EXPECT_EQ(dispatcher->OutputFree(), 65536u);
    // The port still works after the flush.
    pty->ReadUntilQuiet(50ms, 5s);
    ASSERT_EQ(dispatcher->SendBlock("ok", 2), 0);
    EXPECT_EQ(pty->Read(2, 10s), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST_F(PtyPortTest, CloseLetsTheQueuedOutputLeaveFirst) {
    ASSERT_EQ(Open(65536), 0);
    // Nobody reads the far end yet: the pty fills and the rest waits in the ring.
    auto block = Pattern(40000);
    ASSERT_EQ(dispatcher->SendBlock(block.data(), block.size()), 0);
    auto& log = HandlerLog::Get();
    std::uint32_t last = 0;
    ASSERT_TRUE(log.WaitFor([&] {
        std::uint32_t now = dispatcher->OutputUsed();
        bool steady = now == last && now > 0;
        last = now;
        if (!steady) std::this_thread::sleep_for(20ms);
        return steady;
    }));
    // The far end starts to read once the close has begun: every byte still arrives.
    std::vector<std::uint8_t> got;
    std::thread reader([&] {
        std::this_thread::sleep_for(50ms);
        got = pty->Read(block.size(), 10s);
    });
    dispatcher->ClosePort();
    reader.join();
    EXPECT_EQ(got.size(), block.size());
    EXPECT_TRUE(got == block);
}

// Counts the reads of the modem lines (a control transfer each on a USB adapter).
class ModemCountingDispatcher : public TApdPosixDispatcher {
public:
    using TApdPosixDispatcher::TApdPosixDispatcher;
    std::atomic<int> reads{0};
    std::uint8_t DeviceModemLevels() override {
        ++reads;
        return TApdPosixDispatcher::DeviceModemLevels();
    }
};

TEST_F(PtyPortTest, ModemLinesAreReadOnlyWhileSomeoneWaitsForThem) {
    ModemCountingDispatcher counting(nullptr);
    ASSERT_EQ(counting.OpenPort("\\\\.\\COM" + std::to_string(kPort), 115200, kParityNone, 8, 1, 4096,
                                4096, 0),
              0);
    // Idle passes and passes with bytes to read: nobody asks, so nothing is read.
    const int atOpen = counting.reads;
    pty->Write("abc");
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
TEST_F(PtyPortTest, LockFileOfAPortOpenedThroughALinkIsRemovedAfterTheDeviceWentAway) {
    TempDir folder("kavo-lock");
    const std::string locks = (folder / "locks").string();
    std::filesystem::create_directory(locks);
    const char* savedLocks = std::getenv("KAVODOWN_LOCK_DIR");
    const std::string saved = savedLocks ? savedLocks : "";
    setenv("KAVODOWN_LOCK_DIR", locks.c_str(), 1);
    const std::string link = (folder / "slot1").string();
    std::filesystem::create_symlink(pty->DevicePath(), link);
    setenv("KAVODOWN_PORTS", (std::to_string(kPort) + "=" + link).c_str(), 1);
    const std::string lockFile = LockFilePath(pty->DevicePath(), locks);

    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(std::filesystem::exists(lockFile));
    std::filesystem::remove(link);  // unplugged: the link and the device go
    pty->CloseControl();
    ASSERT_TRUE(HandlerLog::Get().WaitFor([&] { return dispatcher->DeviceLost(); }));
    dispatcher->ClosePort();
    EXPECT_FALSE(std::filesystem::exists(lockFile)) << lockFile << " left behind";
    EXPECT_TRUE(std::filesystem::is_empty(locks));

    if (savedLocks) setenv("KAVODOWN_LOCK_DIR", saved.c_str(), 1);
    else unsetenv("KAVODOWN_LOCK_DIR");
}

TEST_F(PtyPortTest, HangUpOfTheFarSideIsReportedAndClosingStillEnds) {
    ASSERT_EQ(Open(), 0);
    auto& log = HandlerLog::Get();
    dispatcher->AttachTriggerHandler(RecordingHandler);
    int used = dispatcher->CreateStatusTrigger(stOutBuffUsed);
    pty->CloseControl();
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

TEST_F(PtyPortTest, OpenFailuresTellHeldMissingAndForbiddenApart) {
    // Held by another program (a lock on the device).
    int other = ::open(pty->DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Open(), ecAccessDenied);
    EXPECT_NE(dispatcher->LastOpenErrorText().find("held by another program"), std::string::npos);
    EXPECT_TRUE(PortAvailable(kPort));
    ::close(other);
    EXPECT_TRUE(PortAvailable(kPort));

    // Missing: a number without a device, and a mapped path that does not exist.
    EXPECT_FALSE(PortAvailable(0));
    setenv("KAVODOWN_PORTS", (std::to_string(kPort) + "=/nonexistent/ttyX").c_str(), 1);
    EXPECT_EQ(Open(), ecFileNotFound);
    EXPECT_FALSE(PortAvailable(kPort));
    EXPECT_FALSE(dispatcher->ThreadsStarted());

    // Not a serial device at all.
    char file[] = "/tmp/kavo-not-a-tty-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    setenv("KAVODOWN_PORTS", (std::to_string(kPort) + "=" + file).c_str(), 1);
    EXPECT_EQ(Open(), ecFileNotFound);
    EXPECT_NE(dispatcher->LastOpenErrorText().find("not a serial device"), std::string::npos);
    ::unlink(file);
}

TEST_F(PtyPortTest, PermissionProblemHasItsOwnCodeAndText) {
    // The pty is the test's own. A normal user is refused by mode 0; root passes every mode
    // check, so its child drops to nobody and meets a mode-0600 device of root's.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(pty->DevicePath().c_str(), root ? 0600 : 0), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        TApdPosixDispatcher probe(nullptr);
        int result = probe.OpenPort("\\\\.\\COM41", 115200, kParityNone, 8, 1, 4096, 4096, 0);
        std::string text = probe.LastOpenErrorText();
        // The port exists for this user all the same, so the prompt offers it and opening it
        // tells why it fails.
        bool ok = result == ecDevicePermission && text.find(pty->DevicePath()) != std::string::npos &&
                  text.find("dialout") != std::string::npos && PortAvailable(kPort);
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
