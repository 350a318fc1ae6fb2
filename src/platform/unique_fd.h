// One owner for a file descriptor: closes it when the owner goes, so that no early return can
// leak it and no descriptor is closed twice.
//
// Move-only. A default or moved-from owner holds -1. `release` hands the descriptor back to the
// caller without closing it; `reset` closes the held one first.
//
// Thread safety: an owner belongs to one thread at a time, like the descriptor it holds.
#pragma once

#include <unistd.h>
#include <utility>

namespace kavo {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) noexcept : fd_(fd) {}
    ~TUniqueFd() { reset(); }

    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // The descriptor, no longer owned; -1 when none was held.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the held descriptor (if any) and owns `fd` instead.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) ::close(old);
    }

private:
    int fd_ = -1;
};

}  // namespace kavo
