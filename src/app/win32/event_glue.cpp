// The program's headers come before <windows.h>, whose macros (PostMessage, WM_QUIT, ...) would
// rewrite the program's own names of the same spelling.
#include "platform/event_loop.h"
#include "platform/message_queue.h"

#include "app/win32/event_glue.h"
#include "app/win32/window_kit.h"

#include <algorithm>

namespace kavo::win32 {

namespace {

constexpr wchar_t kGlueClass[] = L"KavoEventGlue";
constexpr UINT kQueueWake = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;

}  // namespace

TEventGlue::TEventGlue() {
    RegisterClassOnce(kGlueClass, Procedure);
    window_ = CreateWindowExW(0, kGlueClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Module(),
                              nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::HWND window = window_;
    // Posting is safe from any thread; the queue wakes the loop for every message from elsewhere.
    SetThreadWakeHook([window] { PostMessageW(window, kQueueWake, 0, 0); });
    SetProcessMessagesHook(PumpWindowMessages);
    SetTimerScheduleHook([this](int ms) { Schedule(ms); });
    Schedule(RunDueTimers());
}

TEventGlue::~TEventGlue() {
    SetTimerScheduleHook(nullptr);
    SetProcessMessagesHook(nullptr);
    SetThreadWakeHook(nullptr);
    DestroyWindow(window_);
}

void TEventGlue::Schedule(int msUntilNext) {
    if (msUntilNext < 0) {
        KillTimer(window_, kTimerId);
        return;
    }
    SetTimer(window_, kTimerId, static_cast<UINT>(std::max(msUntilNext, USER_TIMER_MINIMUM)), nullptr);
}

int TEventGlue::Run(::HWND dialog) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (dialog && IsWindow(dialog) && IsDialogMessageW(dialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

LRESULT CALLBACK TEventGlue::Procedure(::HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TEventGlue*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case kQueueWake:
            DispatchPendingMessages();
            return 0;
        case WM_TIMER:
            if (self) self->Schedule(RunDueTimers());
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void PumpWindowMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The loop that runs the thread must see it too.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace kavo::win32
