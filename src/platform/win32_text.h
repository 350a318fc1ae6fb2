// UTF-8 <-> UTF-16 at the Windows system calls, and Windows error numbers as errno values.
//
// The tool's strings are UTF-8; the wide-character calls (CreateFileW, RegQueryValueExW, ...)
// take and give UTF-16. Malformed input becomes U+FFFD, never a cut string.
//
// Thread safety: no state; any thread may call.
#pragma once

#include <string>

namespace kavo {

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// The errno value that means what the Windows error number `error` means (ENOENT for a missing
// file, EACCES for access denied, ...); EIO for those without one.
int ErrnoFromWin32Error(unsigned long error);

// The system's message for a Windows error number, from its message table, in UTF-8 with the
// line break at its end removed; empty when the system has none.
std::string Win32MessageText(unsigned long error);

}  // namespace kavo
