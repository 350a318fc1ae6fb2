#include "app/qt/station_entry.h"

#include "app/qt/station_window.h"
#include "station/station.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace kavo {
namespace {

int stationSignalPipe[2] = {-1, -1};

void OnStationSignal(int signalNumber) {
    char byte = static_cast<char>(signalNumber);
    ssize_t ignored = ::write(stationSignalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

int RunStationWindow(const station::TStationOptions& options, const station::TStationImage& image,
                     const std::string& program, int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KavoDown"));
    QGuiApplication::setDesktopFileName(QStringLiteral("kavodown"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kavodown")));
    QApplication::setQuitOnLastWindowClosed(false);

    TStationRunner runner;
    TStationWindow window(image, &runner.Control());
    QObject::connect(&window, &TStationWindow::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    std::unique_ptr<QSocketNotifier> notifier;
    if (::pipe2(stationSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(stationSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&runner, &window] {
            char buffer[16];
            ssize_t count = 0;
            int signalNumber = 0;
            while ((count = ::read(stationSignalPipe[0], buffer, sizeof buffer)) > 0) {
                signalNumber = buffer[count - 1];
            }
            if (signalNumber == 0) return;
            runner.Control().Stop(signalNumber);
            window.close();  // closes for good once the station has ended
        });
        struct sigaction action {};
        action.sa_handler = OnStationSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    runner.Start(window, options, image, program);
    window.show();
    app.exec();
    return window.ExitCode();
}

}  // namespace kavo
