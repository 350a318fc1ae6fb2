#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kavo::sim {

PtyPair::PtyPair() {
    int control = -1, sub = -1;
    char name[128] = {};
    if (openpty(&control, &sub, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    termios tio{};
    tcgetattr(sub, &tio);
    cfmakeraw(&tio);
    tcsetattr(sub, TCSANOW, &tio);
    fcntl(control, F_SETFL, fcntl(control, F_GETFL) | O_NONBLOCK);
    fcntl(control, F_SETFD, FD_CLOEXEC);
    fcntl(sub, F_SETFD, FD_CLOEXEC);
    control_ = control;
    keepOpen_ = sub;
    path_ = name;
}

PtyPair::~PtyPair() {
    CloseControl();
    if (keepOpen_ >= 0) close(keepOpen_);
}

void PtyPair::CloseControl() {
    if (control_ >= 0) close(control_);
    control_ = -1;
}

void PtyPair::Write(const std::string& bytes) {
    Write(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void PtyPair::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(control_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{control_, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        }
    }
}

std::vector<std::uint8_t> PtyPair::Read(std::size_t count, std::chrono::milliseconds deadline) {
    std::vector<std::uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{control_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[4096];
        ssize_t n = ::read(control_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return out;
}

std::vector<std::uint8_t> PtyPair::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                                  std::chrono::milliseconds deadline) {
    std::vector<std::uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{control_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        std::uint8_t buf[4096];
        ssize_t n = ::read(control_, buf, sizeof buf);
        if (n > 0) out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return out;
}

}  // namespace kavo::sim
