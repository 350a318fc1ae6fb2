// Program entry of KavoDown with its Qt windows.
//
// kavodown [OPTIONS] [PORT [FILE [MODE]]]
//
// The positional arguments are those of the main window (port number, firmware file, mode word);
// options of our own begin with "--" and never count as positional arguments (command_line.h).
// With --batch no window is made and no toolkit starts (program_entry.h); otherwise the main
// window (window_entry.h) or the station's window runs.
#include "app/entry/program_entry.h"
#include "app/qt/station_entry.h"
#include "app/qt/window_entry.h"

int main(int argc, char** argv) {
    kavo::TFrontEnds frontEnds;
    frontEnds.window = kavo::RunMainWindow;
    frontEnds.stationWindow = kavo::RunStationWindow;
    return kavo::RunProgram(argc, argv, frontEnds, KAVO_VERSION);
}
