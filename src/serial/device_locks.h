// The lock files that serial programs leave for each other: "LCK..<device name>" in the lock
// folder, holding the holder's pid as ten ASCII digits (right-aligned) and a newline.
//
// The folder is $KAVODOWN_LOCK_DIR when that is set (tests use a folder of their own), else
// /run/lock, else /var/lock. A lock is taken atomically: the pid goes into a temporary file that is
// then linked to the lock's name, so no reader sees a half-written lock. A lock is stale, and is
// removed, when its pid is not a live process, when it names this process but this process does
// not hold it (left by an earlier run that had the same pid, in a container for one), or when it
// cannot be read as a pid. A folder that cannot be written is no error: the locks of others are
// still honoured, only none is left for them.
//
// This is the POSIX form (posix_device_locks.cpp); on Windows the exclusive open is the lock, and
// these functions take and find none (win32_device_locks.cpp).
//
// Thread safety: plain functions over the file system; a process keeps no state but the record of
// the locks it holds, which a mutex guards.
#pragma once

#include <string>
#include <sys/types.h>

namespace kavo {

// The lock folder as described above.
std::string LockFolder();

// The lock file's path for the device at `devicePath` ("/dev/ttyUSB0" gives
// "<folder>/LCK..ttyUSB0", "/dev/pts/3" gives "<folder>/LCK..pts_3"; a symlink is followed first,
// so every name of a device has one lock).
std::string LockFilePath(const std::string& devicePath, const std::string& folder);

struct TLockResult {
    enum { taken, held, notTaken } outcome = notTaken;
    pid_t holder = 0;      // held: the live process that holds the lock
    std::string detail;    // notTaken: why (the folder cannot be written, ...)
    std::string lockPath;  // the lock file looked at; taken: the one to release
};

// Takes the lock for the device, or says who holds it.
TLockResult TakeDeviceLock(const std::string& devicePath, const std::string& folder = LockFolder());

// Removes a lock file that TakeDeviceLock took (its lockPath) when this process holds it. The
// lock is named by the path it was taken under, never worked out again from the device's name:
// once the device is gone a link to it leads nowhere and would name another file.
void ReleaseLockFile(const std::string& lockPath);

// The live process named by the device's lock file, or 0 (no lock, or a stale one).
pid_t DeviceLockHolder(const std::string& devicePath, const std::string& folder = LockFolder());

}  // namespace kavo
