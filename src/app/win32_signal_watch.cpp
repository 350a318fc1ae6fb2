// Windows has no SIGTERM: a console's control events stand in for the signals. Ctrl+C ends a run
// as SIGINT does on Linux; Ctrl+Break and the closing of the console (or the session) end it as
// SIGTERM does. The system calls the handler on a thread of its own.
#include "app/signal_watch.h"

#include <atomic>
#include <csignal>

#include <windows.h>
#undef PostMessage  // the system's macro would rename the message queue's own PostMessage

namespace kavo {
namespace {

constexpr std::uint32_t kSignalMsg = 0x7F01;
std::atomic<HWND> watchWindow{0};

BOOL WINAPI OnControlEvent(DWORD event) {
    const HWND window = watchWindow.load();
    if (window == 0) return FALSE;  // no run to end: the system's own handling
    switch (event) {
    case CTRL_C_EVENT:
        PostMessage(window, kSignalMsg, SIGINT, 0);
        return TRUE;
    case CTRL_BREAK_EVENT:
        PostMessage(window, kSignalMsg, SIGTERM, 0);
        return TRUE;
    default:
        // Close, log-off and shut-down end the process as soon as this handler returns, with the
        // system's code. So it never returns: the run ends through the message, and main's return
        // then ends the process (and this thread) with the run's code. Should the run outlast the
        // system's patience, the system ends the process itself.
        PostMessage(window, kSignalMsg, SIGTERM, 0);
        ::Sleep(INFINITE);
        return TRUE;
    }
}

}  // namespace

TSignalWatch::TSignalWatch(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    window_ = CreateMessageWindow([this](std::uint32_t msg, WPARAM wParam, LPARAM) -> LRESULT {
        if (msg == kSignalMsg && onSignal_) onSignal_(static_cast<int>(wParam));
        return 0;
    });
    watchWindow.store(window_);
    ::SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

TSignalWatch::~TSignalWatch() {
    ::SetConsoleCtrlHandler(OnControlEvent, FALSE);
    watchWindow.store(0);
    DestroyMessageWindow(window_);
}

}  // namespace kavo
