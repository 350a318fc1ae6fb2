// Program entry of KavoDown.
//
// kavodown [OPTIONS] [PORT [FILE [MODE]]]
//
// The positional arguments are those of the main window (port number, firmware file, mode word);
// options of our own begin with "--" and never count as positional arguments (command_line.h).
// SIGTERM and SIGINT act as the exit button: the window closes, the settings are saved and the
// program ends with 0, or with 128 + the signal's number when it cut a transfer short. With --batch no window is shown and every way the run can stop ends the
// program with its own exit code (exit_codes.h, run_control.h).
#include "app/command_line.h"
#include "app/device_option.h"
#include "platform/exit_codes.h"
#include "app/port_listing.h"
#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "app/qt/run_control.h"
#include "app/qt/station_entry.h"
#include "station/station_options.h"
#include "serial/com_port.h"
#include "serial/port_prompt.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int signalPipe[2] = {-1, -1};

// A batch run keeps its standard error to the lines of the run itself: the toolkit's own notes
// (a missing runtime folder, font lookups) are left out; its errors still show.
void QuietToolkitMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
    std::fprintf(stderr, "kavodown: %s\n", text.toLocal8Bit().constData());
}

void OnSignal(int signalNumber) {
    char byte = static_cast<char>(signalNumber);
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (kavo::station::WantsStation(arguments)) return kavo::RunStationCommand(arguments, argc, argv);
    kavo::TCommandLineResult parsed = kavo::ParseCommandLine(arguments);
    kavo::TCommandLine& commandLine = parsed.commandLine;
    if (parsed.error.empty()) parsed.error = kavo::CheckOutputFolders(commandLine);
    if (parsed.error.empty()) parsed.error = kavo::ApplyDeviceOption(commandLine);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kavodown: %s\n", parsed.error.c_str());
        return kavo::kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(kavo::UsageText().c_str(), stdout);
        return kavo::kExitOk;
    }
    if (commandLine.version) {
        std::printf("kavodown (KavoDown) %s\n", KAVO_VERSION);
        return kavo::kExitOk;
    }
    if (commandLine.listPorts) {
        std::fputs(kavo::PortListing().c_str(), stdout);
        return kavo::kExitOk;
    }

    // No window may wait for anyone in a batch run: draw offscreen unless the caller chose.
    // A reader of the status lines that goes away (a wrapper's pipe closed early) must not end
    // the transfer: writes to it fail quietly instead.
    if (commandLine.batch || commandLine.progress) ::signal(SIGPIPE, SIG_IGN);
    if (commandLine.batch) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        qInstallMessageHandler(QuietToolkitMessages);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KavoDown"));
    QApplication::setApplicationVersion(QStringLiteral(KAVO_VERSION));
    // The desktop entry and the icon that an install puts in place (a build tree has none).
    QGuiApplication::setDesktopFileName(QStringLiteral("kavodown"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kavodown")));
    QApplication::setQuitOnLastWindowClosed(false);
    kavo::InstallQtMessageGlue();

    // Without an operator a missing port number is an error, not a question: no one could answer
    // a prompt drawn offscreen.
    if (!commandLine.batch && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        kavo::InstallPortPrompt();
    }
    QStringList positional;
    for (const std::string& argument : commandLine.positional) {
        positional << QString::fromLocal8Bit(argument.c_str());
    }
    kavo::TFMain window(positional);
    kavo::TRunControl control(window, commandLine);
    kavo::ShowComponentErrorsIn(window);
    QObject::connect(&window, &kavo::TFMain::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    std::unique_ptr<QSocketNotifier> notifier;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&control] {
            char buffer[16];
            ssize_t count = 0;
            int signalNumber = 0;
            while ((count = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
                signalNumber = buffer[count - 1];
            }
            if (signalNumber != 0) control.Signal(signalNumber);
        });
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }

    if (control.Prepare()) {
        if (!commandLine.batch) window.show();
        app.exec();
    }
    kavo::SetExceptionDisplay(nullptr);
    const int exitCode = window.ExitCode();
    return exitCode;
}
