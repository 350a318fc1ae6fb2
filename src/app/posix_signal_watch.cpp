#include "app/signal_watch.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kavo {
namespace {

// The pipe lives as long as the process: a signal may come while a watch goes away.
int signalPipe[2] = {-1, -1};
constexpr std::uint32_t kSignalMsg = 0x7F01;
constexpr char kStopReading = 0;  // no signal has the number 0

void OnSignal(int signalNumber) {
    const char byte = static_cast<char>(signalNumber);
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

TSignalWatch::TSignalWatch(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC) != 0) return;
    window_ = CreateMessageWindow([this](std::uint32_t msg, WPARAM wParam, LPARAM) -> LRESULT {
        if (msg == kSignalMsg && onSignal_) onSignal_(static_cast<int>(wParam));
        return 0;
    });
    reader_ = std::thread([window = window_] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1 && byte != kStopReading) {
            PostMessage(window, kSignalMsg, static_cast<WPARAM>(static_cast<unsigned char>(byte)), 0);
        }
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

TSignalWatch::~TSignalWatch() {
    if (!reader_.joinable()) return;
    const char stop = kStopReading;
    ssize_t ignored = ::write(signalPipe[1], &stop, 1);
    (void)ignored;
    reader_.join();
    DestroyMessageWindow(window_);
}

}  // namespace kavo
