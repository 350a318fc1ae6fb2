// Lets the Win32 message loop of the user-interface thread drive the program's own message queue
// (what the serial and transfer layers send from their threads) and its timers, and lets the
// program's nested waits (WaitData, a port's close) keep the windows alive.
//
// Thread safety: create, run and destroy it on the user-interface thread.
#pragma once

#include <windows.h>

namespace kavo::win32 {

class TEventGlue {
public:
    TEventGlue();
    ~TEventGlue();
    TEventGlue(const TEventGlue&) = delete;
    TEventGlue& operator=(const TEventGlue&) = delete;

    // Runs the thread's messages until a quit message; returns its code. Keyboard navigation
    // between controls works in `dialog` (the main window) when given.
    int Run(::HWND dialog);

private:
    static LRESULT CALLBACK Procedure(::HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Schedule(int msUntilNext);

    ::HWND window_ = nullptr;
};

// Runs the Win32 messages that wait now, as a nested wait must.
void PumpWindowMessages();

}  // namespace kavo::win32
