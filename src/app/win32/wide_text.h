// UTF-8 text of the program to and from the UTF-16 text of the wide Win32 calls.
//
// The program keeps its texts in UTF-8; every window text goes through the wide ("...W") calls so
// that the Korean captions show whatever the system's code page is.
#pragma once

#include "platform/win32_text.h"

#include <windows.h>

#include <string>

namespace kavo::win32 {

// The system's window handle, not the message windows of the program's own queue.
using ::HWND;

inline std::wstring Widen(const std::string& text) { return WideFromUtf8(text); }

inline std::string Narrow(const std::wstring& text) { return Utf8FromWide(text); }

// The text of a window or control, in UTF-8.
inline std::string TextOf(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return Narrow(text);
}

inline void SetText(HWND window, const std::string& text) {
    SetWindowTextW(window, Widen(text).c_str());
}

}  // namespace kavo::win32
