// fork() for a test's child that runs until the test kills it (one that holds a port, or writes
// in a loop): should the test process end first (a crash, or its time-out), the child is killed
// too, so a failed test leaves nothing running.
#pragma once

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace kavo::test {

inline pid_t ForkChild() {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);  // the test ended before the signal was set
    }
    return pid;
}

}  // namespace kavo::test
