#include "serial/device_locks.h"

// On Windows the exclusive open of the device is the lock: there are no lock files to take or
// honour, and nobody to name as the holder.
namespace kavo {

std::string LockFolder() { return {}; }

std::string LockFilePath(const std::string&, const std::string&) { return {}; }

TLockResult TakeDeviceLock(const std::string&, const std::string&) {
    TLockResult result;
    result.detail = "exclusive open is the lock";
    return result;
}

void ReleaseLockFile(const std::string&) {}

pid_t DeviceLockHolder(const std::string&, const std::string&) { return 0; }

}  // namespace kavo
