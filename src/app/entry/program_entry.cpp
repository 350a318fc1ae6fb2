#include "app/entry/program_entry.h"

#include "app/device_option.h"
#include "app/download_sequence.h"
#include "platform/exit_codes.h"
#include "app/port_listing.h"
#include "app/run_control.h"
#include "app/signal_watch.h"
#include "app/entry/station_entry.h"
#include "serial/com_port.h"
#include "platform/event_loop.h"
#include "platform/program_arguments.h"

#include <csignal>
#include <cstdio>
#include <vector>

namespace kavo {

int NoWindow(const char* what) {
    std::fprintf(stderr, "kavodown: this build has no window; %s\n", what);
    return kExitUsage;
}

int RunBatch(const TCommandLine& commandLine) {
    TNoView view;
    TDownloadSequence sequence(view);
    sequence.FormCreate(commandLine.positional);
    TRunControl control(sequence, commandLine);
    ShowComponentErrorsIn(sequence);
    sequence.SetOnClosed([] { QuitEventLoop(kExitOk); });
    TSignalWatch signalWatch([&control](int signalNumber) { control.Signal(signalNumber); });
    if (control.Prepare()) RunEventLoop();
    SetExceptionDisplay(nullptr);
    return sequence.ExitCode();
}

int RunProgram(int argc, char** argv, const TFrontEnds& frontEnds, const char* version) {
    std::vector<std::string> arguments = ProgramArguments(argc, argv);
    if (!arguments.empty()) arguments.erase(arguments.begin());  // the program's own name
    if (const std::optional<int> stationExit = RunStationIfAsked(arguments, frontEnds, argc, argv)) {
        return *stationExit;
    }
    TCommandLineResult parsed = ParseCommandLine(arguments);
    TCommandLine& commandLine = parsed.commandLine;
    if (parsed.error.empty()) parsed.error = CheckOutputFolders(commandLine);
    if (parsed.error.empty()) parsed.error = ApplyDeviceOption(commandLine);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kavodown: %s\n", parsed.error.c_str());
        return kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (commandLine.version) {
        std::printf("kavodown (KavoDown) %s\n", version);
        return kExitOk;
    }
    if (commandLine.listPorts) {
        std::fputs(PortListing().c_str(), stdout);
        return kExitOk;
    }
    // A reader of the status lines that goes away (a wrapper's pipe closed early) must not end
    // the transfer: writes to it fail quietly instead.
#ifdef SIGPIPE  // Windows has no such signal: a failed write there is only a failed write
    if (commandLine.batch || commandLine.progress) ::signal(SIGPIPE, SIG_IGN);
#endif
    if (commandLine.batch) return RunBatch(commandLine);
    if (!frontEnds.window) return NoWindow("run it with --batch");
    return frontEnds.window(commandLine, argc, argv);
}

}  // namespace kavo
