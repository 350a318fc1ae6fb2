// TPosixDevice: one serial device opened for exclusive use on POSIX, and everything the open took
// that the release must give back (the lock file, the flock, exclusive use, the device's own line
// settings, the driver's latency setting).
//
// Open: the port map turns "\\.\COM<n>" into a device path (a name that starts with '/' is a path
// already). The port is busy when another live process holds the device's lock file
// (device_locks.h); then comes open(O_NONBLOCK), and the port is busy again when another program
// holds a flock on the device, has set exclusive use (which does not keep root out) or simply has
// the device open (a /proc scan; the processes that started this one do not count, as they handed
// the port on). The device then takes the lock file (where the lock folder can be written), the
// flock and exclusive use for as long as it is open, and raw mode. It also asks the driver for low
// latency (ASYNC_LOW_LATENCY), so that a USB adapter passes received bytes on at once instead of
// after its latency timer; a driver or pty that refuses is left as it is. Interrupted calls are
// repeated. Failures, each errno translated once:
//   ecFileNotFound (-2)       no such port (number not mapped, ENOENT, ENODEV, ENXIO), or a
//                             device that is not a serial device (ENOTTY, EINVAL at the set-up)
//   ecAccessDenied (-5)       another program holds the port (EBUSY, a lock or an open); the
//                             text names the holders' pids
//   ecDevicePermission (-13)  no permission for the device (EACCES, EPERM); the text names it
//                             and the group
//   ecHardware (-2005)        any other errno (EIO among them); the text is the device path and
//                             the system's message
//
// Release restores what the open changed and closes the device; a device that failed to open holds
// nothing. Thread safety: none of its own; the dispatcher guards it with its device lock.
#pragma once

#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "serial/posix_line.h"

namespace kavo {

class TPosixDevice {
public:
    TPosixDevice() = default;
    ~TPosixDevice() { Release(); }
    TPosixDevice(const TPosixDevice&) = delete;
    TPosixDevice& operator=(const TPosixDevice&) = delete;

    // 0, or the code of the failure (see above) with ErrorText() naming the device.
    int Open(const std::string& name);
    void Release();

    int Fd() const { return fd_.Get(); }
    bool IsOpen() const { return fd_.Valid(); }
    const std::string& Path() const { return path_; }
    int Error() const { return error_; }
    const std::string& ErrorText() const { return errorText_; }

private:
    int Fail(int code, std::string text);
    // The failure that `error` (an errno) means, at the open itself or in the set-up after it.
    int FailWithErrno(int error, bool setUp, const std::string& path);

    TUniqueFd fd_;
    std::string path_;
    std::string lockPath_;  // the lock file taken at open ("" for none)
    posix_line::SavedLine savedLine_;
    bool lowLatencySet_ = false;  // the open asked the driver for low latency; undone at release
    int error_ = 0;
    std::string errorText_;
};

// Runs `call` (a system call that returns -1 and sets errno on failure) again while it is
// interrupted and, a few times, while the device is momentarily unable to answer (EAGAIN): a
// driver that is still finishing an earlier close answers so, and is ready a moment later.
template <class Call>
int RetriedWhileBusy(Call call) {
    constexpr int kBusyRetries = 20;
    for (int busy = 0;;) {
        int result = call();
        if (result >= 0 || (errno != EINTR && errno != EAGAIN)) return result;
        if (errno == EAGAIN) {
            if (++busy > kBusyRetries) return result;
            std::this_thread::yield();  // give the driver the moment it asked for
        }
    }
}

}  // namespace kavo
