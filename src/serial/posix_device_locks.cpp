#include "serial/device_locks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::mutex heldMutex;
std::set<std::string> heldLocks;  // lock files this process made

bool Held(const std::string& lockPath) {
    std::lock_guard lock(heldMutex);
    return heldLocks.count(lockPath) > 0;
}

// The pid in a lock file: ten ASCII digits, or the four binary bytes that old programs wrote.
// 0 when the file is gone; -1 when it holds no pid.
pid_t ReadLockPid(const std::string& lockPath) {
    int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    char text[32] = {};
    ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got == 4 && std::memchr(text, '\n', 4) == nullptr) {
        int binary;
        std::memcpy(&binary, text, 4);
        if (binary > 0) return binary;
    }
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    if (got <= 0 || end == text || pid <= 0 || pid > 0x3FFFFFFF) return -1;
    return static_cast<pid_t>(pid);
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// The live holder of the lock file, or 0 when there is none or the lock is stale.
pid_t LiveHolder(const std::string& lockPath) {
    pid_t pid = ReadLockPid(lockPath);
    if (pid <= 0) return 0;
    if (pid == ::getpid()) return Held(lockPath) ? pid : 0;
    return Alive(pid) ? pid : 0;
}

}  // namespace

std::string LockFolder() {
    if (const char* folder = std::getenv("KAVODOWN_LOCK_DIR"); folder && *folder) return folder;
    std::error_code ec;
    if (fs::is_directory("/run/lock", ec)) return "/run/lock";
    return "/var/lock";
}

std::string LockFilePath(const std::string& devicePath, const std::string& folder) {
    std::error_code ec;
    fs::path real = fs::canonical(devicePath, ec);
    const fs::path device = ec ? fs::path(devicePath) : real;
    // A device in a folder of /dev (/dev/pts/3) is named with its folder: "pts_3".
    std::string name = device.filename().string();
    const fs::path relative = device.lexically_relative("/dev");
    if (!relative.empty() && *relative.begin() != ".." && relative.has_parent_path()) {
        name = relative.string();
        std::replace(name.begin(), name.end(), '/', '_');
    }
    return (fs::path(folder) / ("LCK.." + name)).string();
}

pid_t DeviceLockHolder(const std::string& devicePath, const std::string& folder) {
    pid_t pid = LiveHolder(LockFilePath(devicePath, folder));
    return pid == ::getpid() ? 0 : pid;
}

TLockResult TakeDeviceLock(const std::string& devicePath, const std::string& folder) {
    const std::string lockPath = LockFilePath(devicePath, folder);
    TLockResult result;
    result.lockPath = lockPath;
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    char temporary[4096];
    std::snprintf(temporary, sizeof temporary, "%s/LTMP.%ld.%s", folder.c_str(),
                  static_cast<long>(::getpid()), fs::path(lockPath).filename().c_str() + 5);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (pid_t holder = LiveHolder(lockPath); holder != 0) {
            if (holder == ::getpid()) {
                result.detail = "this process holds it";  // another port: its flock decides
                return result;
            }
            result.outcome = TLockResult::held;
            result.holder = holder;
            return result;
        }
        ::unlink(lockPath.c_str());  // stale, or none
        int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            result.detail = std::string(temporary) + ": " + std::strerror(errno);
            return result;
        }
        bool written = ::write(fd, text, 11) == 11;
        ::fchmod(fd, 0644);  // readable by every program, whatever the umask
        ::close(fd);
        int linked = written ? ::link(temporary, lockPath.c_str()) : -1;
        int error = errno;
        ::unlink(temporary);
        if (linked == 0) {
            std::lock_guard lock(heldMutex);
            heldLocks.insert(lockPath);
            result.outcome = TLockResult::taken;
            return result;
        }
        if (!written || error != EEXIST) {
            result.detail = lockPath + ": " + std::strerror(written ? error : EIO);
            return result;
        }
        // Someone else made the lock meanwhile: look at it again.
    }
    result.detail = lockPath + " keeps changing";
    return result;
}

void ReleaseLockFile(const std::string& lockPath) {
    std::lock_guard lock(heldMutex);
    if (!heldLocks.erase(lockPath)) return;
    if (ReadLockPid(lockPath) == ::getpid()) ::unlink(lockPath.c_str());
}

}  // namespace kavo
