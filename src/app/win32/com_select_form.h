// The "Select Port" dialog in Win32: asks the operator for a serial port when the port component
// is told to open without a port number. What it lists and what its buttons give is in
// serial/port_prompt.h; this file only draws it.
//
// A modal dialog of 220 x 131 client pixels, centred, with a fixed border and only the system
// menu among its title-bar icons. OK (the default button) ends it with mrOk, Cancel with mrAbort,
// Escape or the system menu's Close with mrCancel.
//
// Thread safety: the user-interface thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kavo::win32 {

// The system's window handle, not the message windows of the program's own queue.
using ::HWND;

// The dialog's controls, for tests and tools that drive it.
enum TComSelectControl : int {
    kOkBtn = IDOK,
    kDialogCancel = IDCANCEL,  // Escape, or Close from the system menu
    kAbortBtn = 10,
    kPortsComboBox = 11,
    kLabel1 = 12,
    kLabel2 = 13,
};

struct TComSelectResult {
    int modalResult = 0;
    std::string selectedEntry;  // empty when nothing was selected
};

// Shows the dialog modally over `owner` (may be null) with the ports that `available` says exist.
TComSelectResult ShowComSelectForm(HWND owner, const std::function<bool(int)>& available);

// Lets the serial port component show the dialog, listing the machine's ports, when it opens with
// port number 0.
void InstallPortPrompt();

}  // namespace kavo::win32
