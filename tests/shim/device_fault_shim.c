// A preloaded library for tests: makes the calls on one device fail with a chosen errno, so that
// the tool's handling of failures that a pty cannot produce can be watched from outside.
//
//   KAVO_FAULT_PATH    the device path whose calls fail (as the tool opens it)
//   KAVO_FAULT_MOMENT  "open" (the open itself), "setup" (the line settings' ioctls after the
//                      open) or "read" (reads once the port is open)
//   KAVO_FAULT_ERRNO   the errno, as a number
//   KAVO_FAULT_TIMES   how many calls fail before the calls go through again (default 1)
//
// Other paths and descriptors are left alone.
#define _GNU_SOURCE
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

// The program's threads open, use and close descriptors at once: both are atomic.
static _Atomic int trackedFd = -1;
static _Atomic int failuresLeft = -1;  // -1: not read from the environment yet

static const char* Moment(void) {
    const char* moment = getenv("KAVO_FAULT_MOMENT");
    return moment ? moment : "";
}

// Whether this call is to fail now; then errno is set.
static int Fail(const char* moment) {
    if (strcmp(Moment(), moment) != 0) return 0;
    if (failuresLeft < 0) {
        const char* times = getenv("KAVO_FAULT_TIMES");
        int unread = -1;
        atomic_compare_exchange_strong(&failuresLeft, &unread, times ? atoi(times) : 1);
    }
    // Take one failure if one is left.
    int left = failuresLeft;
    do {
        if (left <= 0) return 0;
    } while (!atomic_compare_exchange_weak(&failuresLeft, &left, left - 1));
    const char* error = getenv("KAVO_FAULT_ERRNO");
    errno = error ? atoi(error) : EIO;
    return 1;
}

static int IsDevice(const char* path) {
    const char* device = getenv("KAVO_FAULT_PATH");
    return device && path && strcmp(device, path) == 0;
}

typedef int (*OpenCall)(const char*, int, ...);

static int OpenWith(const char* name, const char* path, int flags, mode_t mode) {
    if (IsDevice(path) && Fail("open")) return -1;
    OpenCall next = (OpenCall)dlsym(RTLD_NEXT, name);
    int fd = next(path, flags, mode);
    if (fd >= 0 && IsDevice(path)) trackedFd = fd;
    return fd;
}

#define KAVO_OPEN(name)                                           \
    int name(const char* path, int flags, ...) {                  \
        mode_t mode = 0;                                          \
        if (flags & (O_CREAT | O_TMPFILE)) {                      \
            va_list args;                                         \
            va_start(args, flags);                                \
            mode = (mode_t)va_arg(args, int);                     \
            va_end(args);                                         \
        }                                                         \
        return OpenWith(#name, path, flags, mode);                \
    }
KAVO_OPEN(open)
KAVO_OPEN(open64)

int __open_2(const char* path, int flags) { return OpenWith("open", path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenWith("open64", path, flags, 0); }

int close(int fd) {
    int tracked = fd;
    atomic_compare_exchange_strong(&trackedFd, &tracked, -1);
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    return next(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (fd >= 0 && fd == trackedFd && (request == TCGETS2 || request == TCSETS2) && Fail("setup"))
        return -1;
    int (*next)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, argument);
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (fd >= 0 && fd == trackedFd && Fail("read")) return -1;
    ssize_t (*next)(int, void*, size_t) = (ssize_t (*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    return next(fd, buffer, count);
}
