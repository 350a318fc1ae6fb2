// Program entry of kavodown.exe: the main window in Win32 without --batch, the unattended run
// with it (program_entry.h). The station has no window on Windows.
#include "app/entry/program_entry.h"
#include "app/win32/window_entry.h"

int main(int argc, char** argv) {
    kavo::TFrontEnds frontEnds;
    frontEnds.window = [](const kavo::TCommandLine& commandLine, int&, char**) {
        return kavo::win32::RunMainWindow(commandLine);
    };
    return kavo::RunProgram(argc, argv, frontEnds, KAVO_VERSION);
}
