// Small helpers that the Win32 windows of the program share: window classes, child controls
// placed in pixels, fonts by pixel height, and placement on the screen.
//
// Thread safety: the user-interface thread.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace kavo::win32 {

// The system's window handle, not the message windows of the program's own queue.
using ::HWND;

// Registers a window class of this module once; gives its name.
const wchar_t* RegisterClassOnce(const wchar_t* name, WNDPROC procedure, int background = COLOR_BTNFACE);

// A child control at left, top, width x height pixels of its parent's client area, with the text
// in UTF-8 and the given font.
HWND AddControl(HWND parent, const wchar_t* className, const std::string& text, DWORD style,
                int left, int top, int width, int height, int id, HFONT font, DWORD exStyle = 0);

// A font of the given face (UTF-8) and character height in pixels. Where the face is not
// installed, the first of the fallbacks that is; the system's font mapper decides after that.
HFONT MakeFont(const std::string& face, int pixels, bool bold = false,
               std::initializer_list<const wchar_t*> fallbacks = {});

// Resizes a top-level window so that its client area is width x height pixels.
void SetClientSize(HWND window, int width, int height);

// Moves a top-level window to the centre of the screen's work area.
void CentreOnScreen(HWND window);

// The size of a text in the window's font, in pixels.
SIZE TextExtent(HWND window, const std::string& text);

// The program's module, for window classes and resources.
HINSTANCE Module();

}  // namespace kavo::win32
