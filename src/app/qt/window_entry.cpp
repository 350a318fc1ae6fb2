#include "app/qt/window_entry.h"

#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "app/run_control.h"
#include "app/signal_watch.h"
#include "serial/com_port.h"
#include "serial/port_prompt.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>

namespace kavo {

int RunMainWindow(const TCommandLine& commandLine, int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KavoDown"));
    QApplication::setApplicationVersion(QStringLiteral(KAVO_VERSION));
    // The desktop entry and the icon that an install puts in place (a build tree has none).
    QGuiApplication::setDesktopFileName(QStringLiteral("kavodown"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kavodown")));
    QApplication::setQuitOnLastWindowClosed(false);
    InstallQtMessageGlue();

    // No one could answer a prompt drawn offscreen: a missing port number is an error there.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) InstallPortPrompt();
    QStringList positional;
    for (const std::string& argument : commandLine.positional) {
        positional << QString::fromLocal8Bit(argument.c_str());
    }
    TFMain window(positional);
    TDownloadSequence& sequence = window.Sequence();
    TRunControl control(sequence, commandLine);
    ShowComponentErrorsIn(sequence);
    QObject::connect(&window, &TFMain::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    TSignalWatch signalWatch([&control](int signalNumber) { control.Signal(signalNumber); });

    if (control.Prepare()) {
        window.show();
        app.exec();
    }
    SetExceptionDisplay(nullptr);
    return sequence.ExitCode();
}

}  // namespace kavo
