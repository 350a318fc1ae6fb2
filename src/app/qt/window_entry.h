// The main window's run: Qt's application, the message glue, the port prompt, TFMain with the
// run control of the options, and Qt's loop until the window closes. SIGTERM and SIGINT act as
// the exit button: the window closes, the settings are saved and the program ends with 0, or with
// 128 + the signal's number when it cut a transfer short. Returns the exit code.
#pragma once

#include "app/command_line.h"

namespace kavo {

int RunMainWindow(const TCommandLine& commandLine, int& argc, char** argv);

}  // namespace kavo
