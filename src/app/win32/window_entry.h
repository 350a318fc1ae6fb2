// The Windows program's window: the main window over the download sequence on the Win32 message
// loop, with the port prompt for a missing port number and the status window during a transfer.
//
// Thread safety: the main thread.
#pragma once

#include "app/command_line.h"

namespace kavo::win32 {

// Runs the main window with the command line's positional arguments and options until it closes;
// returns the exit code.
int RunMainWindow(const TCommandLine& commandLine);

}  // namespace kavo::win32
