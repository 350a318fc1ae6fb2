// The program's headers come before <windows.h>, whose macros (PostMessage, WM_QUIT, ...) would
// rewrite the program's own names of the same spelling.
#include "app/download_sequence.h"
#include "app/run_control.h"
#include "app/signal_watch.h"
#include "serial/com_port.h"

#include "app/win32/com_select_form.h"
#include "app/win32/event_glue.h"
#include "app/win32/main_window.h"
#include "app/win32/window_entry.h"

namespace kavo::win32 {
namespace {

// The program is a console program, so that --help, --version and --batch print to the console
// that started them and the console waits for the exit code. Started from the Start menu or the
// file manager, it got a console of its own that only the window would keep open: that console
// goes. A console that others share (a command prompt) stays theirs.
void LeaveOwnConsole() {
    ::HWND console = GetConsoleWindow();
    DWORD processes[2];
    if (console && GetConsoleProcessList(processes, 2) == 1) {
        ShowWindow(console, SW_HIDE);
        FreeConsole();
    }
}

}  // namespace

int RunMainWindow(const TCommandLine& commandLine) {
    LeaveOwnConsole();
    InstallPortPrompt();
    TEventGlue glue;
    TFMain window;
    window.Start(commandLine.positional);
    TDownloadSequence& sequence = window.Sequence();
    TRunControl control(sequence, commandLine);
    ShowComponentErrorsIn(sequence);
    TSignalWatch signalWatch([&control](int signalNumber) { control.Signal(signalNumber); });
    if (control.Prepare()) {
        window.Show();
        glue.Run(window.Handle());
    }
    SetExceptionDisplay(nullptr);
    return sequence.ExitCode();
}

}  // namespace kavo::win32
