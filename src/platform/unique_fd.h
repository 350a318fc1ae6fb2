// TUniqueFd: the one owner of a file descriptor. It closes the descriptor when it goes out of
// scope or is reset, so an early return cannot leak one and nothing closes one twice. Release()
// hands the descriptor on without closing it. A default or moved-from owner holds -1.
//
// Thread safety: as a plain value; one thread owns a TUniqueFd at a time.
#pragma once

#include <unistd.h>

#include <utility>

namespace kavo {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) noexcept : fd_(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    // Closes the descriptor held (if any) and takes `fd`.
    void Reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) ::close(old);
    }
    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

}  // namespace kavo
