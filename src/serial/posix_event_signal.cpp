#include "serial/event_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace kavo {

bool TEventSignal::Create() {
    std::lock_guard lock(mutex_);
    if (native_.load() != kNone) return true;
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return false;
    native_ = fd;
    return true;
}

void TEventSignal::Close() {
    std::lock_guard lock(mutex_);
    int fd = static_cast<int>(native_.exchange(kNone));
    if (fd >= 0) ::close(fd);
}

void TEventSignal::Set() {
    std::lock_guard lock(mutex_);
    int fd = static_cast<int>(native_.load());
    if (fd < 0) return;
    std::uint64_t one = 1;
    // EAGAIN only when the counter is near overflow: it is set then anyway.
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void TEventSignal::Reset() {
    int fd = static_cast<int>(native_.load());
    if (fd < 0) return;
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

bool TEventSignal::IsSet() const {
    int fd = static_cast<int>(native_.load());
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool TEventSignal::TryConsume() {
    if (manualReset_) return IsSet();
    int fd = static_cast<int>(native_.load());
    if (fd < 0) return false;
    std::uint64_t value;
    return ::read(fd, &value, sizeof value) == sizeof value;
}

bool TEventSignal::Wait(int timeoutMs) { return WaitAny({this}, timeoutMs) == 0; }

int TEventSignal::WaitAny(std::initializer_list<TEventSignal*> signals, int timeoutMs) {
    return WaitAnyOrFd(signals, timeoutMs, -1, 0, nullptr);
}

int TEventSignal::WaitAnyOrFd(std::initializer_list<TEventSignal*> signals, int timeoutMs,
                              int extraFd, short extraEvents, short* extraRevents) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::vector<pollfd> fds;
    fds.reserve(signals.size() + 1);
    for (;;) {
        fds.clear();
        for (TEventSignal* signal : signals) fds.push_back({static_cast<int>(signal->Native()), POLLIN, 0});
        if (extraFd >= 0) fds.push_back({extraFd, extraEvents, 0});
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        int ready = ::poll(fds.data(), fds.size(), wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (ready == 0) return -1;
        int index = 0;
        for (TEventSignal* signal : signals) {
            // Another waiter may have consumed an auto-reset signal first: then wait again.
            if ((fds[index].revents & POLLIN) && signal->TryConsume()) return index;
            ++index;
        }
        if (extraFd >= 0 && fds.back().revents) {
            if (extraRevents) *extraRevents = fds.back().revents;
            return index;
        }
        bool allClosed = true;
        for (TEventSignal* signal : signals) allClosed = allClosed && !signal->Valid();
        if (allClosed && extraFd < 0) return -1;
    }
}

}  // namespace kavo
