#include "serial/posix_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "serial/device_locks.h"
#include "serial/error_codes.h"
#include "serial/port_map.h"

namespace kavo {
namespace {

std::string HolderName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string comm;
    std::getline(in, comm);
    return std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")");
}

std::string BusyText(const std::string& path, const std::vector<std::string>& holders) {
    std::string text = path + " is held by another program";
    for (std::size_t i = 0; i < holders.size(); ++i) text += (i ? ", pid " : ": pid ") + holders[i];
    return text;
}

// posix_line's calls return -errno; the retry and the translation read errno.
int ViaErrno(int result) {
    if (result < 0) errno = -result;
    return result;
}

// A lock file taken for an open that has not succeeded yet; it goes again unless kept.
class TLockFileGuard {
public:
    explicit TLockFileGuard(std::string path) : path_(std::move(path)) {}
    ~TLockFileGuard() {
        if (!path_.empty()) ReleaseLockFile(path_);
    }
    std::string Keep() { return std::exchange(path_, std::string()); }

private:
    std::string path_;
};

}  // namespace

int TPosixDevice::Fail(int code, std::string text) {
    error_ = code;
    errorText_ = std::move(text);
    return code;
}

int TPosixDevice::FailWithErrno(int error, bool setUp, const std::string& path) {
    const std::string text = path + ": " + std::strerror(error);
    switch (error) {
    case ENOENT:
    case ENOTDIR: return Fail(ecFileNotFound, text + " (no such port)");
    case ENODEV:
    case ENXIO: return Fail(ecFileNotFound, text + " (no device behind the port)");
    case EACCES:
    case EPERM:
        return Fail(ecDevicePermission, "no permission to open " + path +
                                            "; add your user to the dialout group (or the "
                                            "device's group) and log in again");
    case EBUSY: return Fail(ecAccessDenied, BusyText(path, DeviceHolders(path)));
    case ENOTTY:
    case EINVAL:
        if (setUp) return Fail(ecFileNotFound, path + " is not a serial device");
        [[fallthrough]];
    default: return Fail(ecHardware, text);
    }
}

int TPosixDevice::Open(const std::string& name) {
    Release();
    error_ = 0;
    errorText_.clear();
    const int number = ComNumberFromDeviceName(name);
    const std::string path = number > 0 ? ComPortPath(number) : (name.rfind('/', 0) == 0 ? name : "");
    if (path.empty()) return Fail(ecFileNotFound, name + ": no device is assigned to this port number");

    // Another program's lock file: the port is busy before the device is even touched.
    const TLockResult lockFile = TakeDeviceLock(path);
    if (lockFile.outcome == TLockResult::held)
        return Fail(ecAccessDenied, BusyText(path, {HolderName(lockFile.holder)}));
    TLockFileGuard lockGuard(lockFile.outcome == TLockResult::taken ? lockFile.lockPath : "");

    TUniqueFd fd(RetriedWhileBusy(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) return FailWithErrno(errno, false, path);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Fail(ecAccessDenied, BusyText(path, DeviceHolders(path)));
        return FailWithErrno(errno, true, path);
    }
    // Reading the settings changes nothing and tells a serial device from anything else.
    posix_line::SavedLine saved;
    if (RetriedWhileBusy([&] { return ViaErrno(posix_line::SaveLine(fd.Get(), saved)); }) < 0)
        return FailWithErrno(errno, true, path);
    // Exclusive use that someone else set (it does not keep root out), and programs that use
    // neither lock but have the device open. The flag outlives a holder that was killed while the
    // device itself lives on (a pty whose other end stays open): with nobody holding the device
    // it is stale and is taken over, as a stale lock file is. That needs a scan that sees every
    // process (root's); anyone else who gets past a live flag keeps treating it as busy.
    int exclusive = 0;
    if (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) != 0) exclusive = 0;
    const std::vector<std::string> holders = DeviceHolders(path);
    if (!holders.empty() || (exclusive && ::geteuid() != 0)) return Fail(ecAccessDenied, BusyText(path, holders));
    if (::ioctl(fd.Get(), TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL)
        return FailWithErrno(errno, true, path);
    if (RetriedWhileBusy([&] { return ViaErrno(posix_line::MakeRaw(fd.Get())); }) < 0) {
        const int error = errno;
        ::ioctl(fd.Get(), TIOCNXCL);
        return FailWithErrno(error, true, path);
    }
    // Drivers that hold received bytes back (USB adapters) pass them on at once when asked;
    // drivers and ptys that cannot are left as they are.
    serial_struct serial{};
    if (::ioctl(fd.Get(), TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet_ = ::ioctl(fd.Get(), TIOCSSERIAL, &serial) == 0;
    }
    fd_ = std::move(fd);
    path_ = path;
    lockPath_ = lockGuard.Keep();
    savedLine_ = saved;
    return 0;
}

void TPosixDevice::Release() {
    if (!fd_) return;
    const int fd = fd_.Get();
    posix_line::RestoreLine(fd, savedLine_);
    serial_struct serial{};
    if (lowLatencySet_ && ::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;  // as it was before the open
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    lowLatencySet_ = false;
    ::ioctl(fd, TIOCNXCL);
    fd_.Reset();  // releases the flock too
    path_.clear();
    ReleaseLockFile(lockPath_);
    lockPath_.clear();
}

}  // namespace kavo
