#include "app/batch_outcome.h"

#include "platform/exit_codes.h"
#include "app/port_listing.h"
#include "serial/error_codes.h"
#include "serial/errors.h"
#include "pty_pair.h"
#include "support/fork_child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sets KAVODOWN_PORTS for the test and restores it.
class PortsVariable {
public:
    explicit PortsVariable(const std::string& value) {
        if (const char* old = std::getenv("KAVODOWN_PORTS")) old_ = old, hadOld_ = true;
        ::setenv("KAVODOWN_PORTS", value.c_str(), 1);
    }
    ~PortsVariable() {
        if (hadOld_) ::setenv("KAVODOWN_PORTS", old_.c_str(), 1);
        else ::unsetenv("KAVODOWN_PORTS");
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

// A child process that opens `path` (and locks it with `flockIt`) and waits to be killed.
class Holder {
public:
    Holder(const std::string& path, bool flockIt) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = test::ForkChild();
        if (pid_ == 0) {
            int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            if (fd >= 0 && flockIt) ::flock(fd, LOCK_EX);
            char byte = fd >= 0 ? 1 : 0;
            (void)!::write(ready[1], &byte, 1);
            ::pause();
            ::_exit(0);
        }
        char byte = 0;
        ::close(ready[1]);
        ok_ = ::read(ready[0], &byte, 1) == 1 && byte == 1;
        ::close(ready[0]);
    }
    ~Holder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Ok() const { return ok_; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

template <class E, class... Args>
std::exception_ptr Error(Args... args) {
    return std::make_exception_ptr(E(args...));
}

TEST(BatchOutcome, FileMissingSaysWhatIsAtThePath) {
    EXPECT_EQ(FileMissingStop("/no/such/fw.bin").exitCode, kExitFileMissing);
    EXPECT_EQ(FileMissingStop("/no/such/fw.bin").line,
              "kavodown: file missing: /no/such/fw.bin does not exist");
    EXPECT_EQ(FileMissingStop("/tmp").line, "kavodown: file missing: /tmp is a folder, not a firmware file");
    EXPECT_EQ(FileMissingStop("").line, "kavodown: file missing: no firmware file was given");
    EXPECT_EQ(FileMissingStop("/dev/zero").line,
              "kavodown: file missing: /dev/zero is a device, not a firmware file");
    char pattern[] = "/tmp/kavo_fifo_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string fifo = std::string(pattern) + "/fw.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(FileMissingStop(fifo).line, "kavodown: file missing: " + fifo + " is a FIFO, not a firmware file");
    std::filesystem::remove_all(pattern);
}

TEST(BatchOutcome, PortErrorsAreToldApartByTheirClass) {
    sim::PtyPair pty;
    PortsVariable ports("3=" + pty.DevicePath() + ",9=/no/such/device");

    TBatchStop none = PortOpenStop(Error<ENoPortSelected>(ecNoPortSelected), 0);
    EXPECT_EQ(none.exitCode, kExitPortMissing);
    EXPECT_TRUE(Has(none.line, "no port number was given")) << none.line;
    // The machine's own ports may come first.
    EXPECT_TRUE(Has(none.line, "; known ports: ")) << none.line;
    EXPECT_TRUE(Has(none.line, "COM3 " + pty.DevicePath() + ", COM9 /no/such/device")) << none.line;

    TBatchStop unmapped = PortOpenStop(Error<EBadId>(ecBadId), 7);
    EXPECT_EQ(unmapped.exitCode, kExitPortMissing);
    EXPECT_TRUE(Has(unmapped.line, "port missing: COM7 is not assigned to a device; known ports: "))
        << unmapped.line;

    TBatchStop gone = PortOpenStop(Error<EBadId>(ecBadId, std::string("no such port")), 9);
    EXPECT_EQ(gone.exitCode, kExitPortMissing);
    EXPECT_TRUE(Has(gone.line, "COM9 (/no/such/device): no such port")) << gone.line;

    TBatchStop busy = PortOpenStop(Error<EAlreadyOpen>(ecAlreadyOpen), 3);
    EXPECT_EQ(busy.exitCode, kExitPortBusy);
    EXPECT_TRUE(Has(busy.line, "port busy: COM3 (" + pty.DevicePath() + ") is held by another program"))
        << busy.line;

    const std::string permissionText = "no permission to open /dev/ttyUSB0; add your user to the dialout group";
    TBatchStop denied = PortOpenStop(Error<EInOutError>(permissionText, 13), 3);
    EXPECT_EQ(denied.exitCode, kExitPermissionDenied);
    EXPECT_EQ(denied.line, "kavodown: permission denied: COM3: " + permissionText);

    // Another run-time error number is no permission problem.
    EXPECT_EQ(PortOpenStop(Error<EInOutError>(std::string("File not found"), 2), 3).exitCode,
              kExitOtherError);
    TBatchStop hardware = PortOpenStop(Error<EHardware>(ecHardware, std::string("tcsetattr: I/O error")), 3);
    EXPECT_EQ(hardware.exitCode, kExitOtherError);
    EXPECT_TRUE(Has(hardware.line, "port failed: COM3 (" + pty.DevicePath() + "): tcsetattr: I/O error"))
        << hardware.line;
    EXPECT_EQ(PortOpenStop(std::make_exception_ptr(42), 3).exitCode, kExitOtherError);

}

TEST(BatchOutcome, BusyPortNamesTheProgramThatLocksIt) {
    sim::PtyPair pty;
    PortsVariable ports("3=" + pty.DevicePath());
    // One program only has it open, another holds the lock: the lock holder is named.
    Holder opener(pty.DevicePath(), false);
    Holder locker(pty.DevicePath(), true);
    ASSERT_TRUE(opener.Ok() && locker.Ok());
    const std::vector<std::string> holders = DeviceHolders(pty.DevicePath());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].substr(0, holders[0].find(' ')), std::to_string(locker.Pid()));
    TBatchStop busy = PortOpenStop(Error<EAlreadyOpen>(ecAlreadyOpen), 3);
    EXPECT_TRUE(Has(busy.line, "is held by another program: pid " + std::to_string(locker.Pid()) + " (")) << busy.line;
    EXPECT_EQ(ProbePort(pty.DevicePath()), pcBusy);
}

TEST(BatchOutcome, WithoutALockEveryOtherProgramThatHasTheDeviceOpenIsNamed) {
    sim::PtyPair pty;
    EXPECT_TRUE(DeviceHolders(pty.DevicePath()).empty());  // this process does not count
    Holder opener(pty.DevicePath(), false);
    ASSERT_TRUE(opener.Ok());
    const std::vector<std::string> holders = DeviceHolders(pty.DevicePath());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].substr(0, holders[0].find(' ')), std::to_string(opener.Pid()));
    EXPECT_TRUE(DeviceHolders("/no/such/device").empty());
}

TEST(BatchOutcome, NoAnswerNamesThePort) {
    PortsVariable ports("5=/tmp/line/A");
    TBatchStop stop = NoAnswerStop(5);
    EXPECT_EQ(stop.exitCode, kExitNoAnswer);
    EXPECT_TRUE(Has(stop.line, "no answer to DDD: the terminal on COM5 (/tmp/line/A) sent no ACK"))
        << stop.line;
}

TEST(BatchOutcome, TransferEndCodes) {
    PortsVariable ports("5=/tmp/line/A");
    EXPECT_EQ(TransferEndStop(0, 5).exitCode, kExitOk);
    EXPECT_EQ(TransferEndStop(0, 5).line, "");
    TBatchStop lost = TransferEndStop(ecAbortNoCarrier, 5);
    EXPECT_EQ(lost.exitCode, kExitDeviceLost);
    EXPECT_EQ(lost.line, "kavodown: device lost: COM5 (/tmp/line/A) went away during the transfer: "
                         "Aborting due to carrier loss (-6014)");
    EXPECT_EQ(TransferEndStop(ecCancelRequested, 5).line,
              "kavodown: transfer failed: Cancel requested (-6005)");
    EXPECT_EQ(TransferEndStop(ecCancelRequested, 5).exitCode, kExitTransferFailed);
    EXPECT_EQ(TransferEndStop(-6006, 5).line, "kavodown: transfer failed: Fatal time out (-6006)");
    EXPECT_EQ(TransferEndStop(-103, 5).exitCode, kExitTransferFailed);
}

}  // namespace
}  // namespace kavo
