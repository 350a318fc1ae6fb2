#include "serial/device_locks.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

class DeviceLocksTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = (dir_.Path() / "ttyTEST0").string();
        std::ofstream(device_).put('\n');
        folder_ = (dir_.Path() / "lock").string();
        fs::create_directory(folder_);
    }
    void WriteLock(const std::string& text) { std::ofstream(LockFilePath(device_, folder_)) << text; }
    // A pid that surely names no live process: a child that has ended and been reaped.
    static pid_t DeadPid() {
        pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);
        return child;
    }

    test::TempDir dir_{"kavo-locks"};
    std::string device_;
    std::string folder_;
};

TEST(LockFilePathTest, NamesFollowTheDeviceAndItsFolderUnderDev) {
    struct Row {
        const char* device;
        const char* name;
    } rows[] = {{"/dev/ttyUSB0", "LCK..ttyUSB0"}, {"/dev/pts/3", "LCK..pts_3"}, {"/tmp/x/ttyS9", "LCK..ttyS9"}};
    for (const Row& row : rows) EXPECT_EQ(LockFilePath(row.device, "/locks"), std::string("/locks/") + row.name) << row.device;
}

TEST_F(DeviceLocksTest, TakenLockHoldsOurPidAndIsGoneAfterRelease) {
    const TLockResult result = TakeDeviceLock(device_, folder_);
    ASSERT_EQ(result.outcome, TLockResult::taken) << result.detail;
    std::ifstream in(result.lockPath);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    char expected[16];
    std::snprintf(expected, sizeof expected, "%10ld\n", static_cast<long>(getpid()));
    EXPECT_EQ(text, expected);
    EXPECT_EQ(DeviceLockHolder(device_, folder_), 0);  // our own lock is no other holder
    ReleaseLockFile(result.lockPath);
    EXPECT_FALSE(fs::exists(result.lockPath));
}

TEST_F(DeviceLocksTest, LiveHolderKeepsThePortAndStaleLocksAreTakenOver) {
    // The parent of this process is alive: its lock is honoured.
    WriteLock(std::to_string(getppid()) + "\n");
    TLockResult result = TakeDeviceLock(device_, folder_);
    EXPECT_EQ(result.outcome, TLockResult::held);
    EXPECT_EQ(result.holder, getppid());
    EXPECT_EQ(DeviceLockHolder(device_, folder_), getppid());

    // A dead pid, text that is no pid, and our own pid in a lock we never took are all stale.
    for (const std::string& stale : {std::to_string(DeadPid()) + "\n", std::string("garbage\n"),
                                     std::to_string(getpid()) + "\n"}) {
        WriteLock(stale);
        EXPECT_EQ(DeviceLockHolder(device_, folder_), 0) << stale;
        result = TakeDeviceLock(device_, folder_);
        EXPECT_EQ(result.outcome, TLockResult::taken) << stale;
        ReleaseLockFile(result.lockPath);
    }
}

TEST_F(DeviceLocksTest, FolderThatCannotBeWrittenTakesNoLockAndSaysWhy) {
    const TLockResult result = TakeDeviceLock(device_, (dir_.Path() / "missing").string());
    EXPECT_EQ(result.outcome, TLockResult::notTaken);
    EXPECT_FALSE(result.detail.empty());
}

}  // namespace
}  // namespace kavo
