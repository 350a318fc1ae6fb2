#include "app/qt/station_entry.h"

#include "platform/exit_codes.h"
#include "app/qt/station_window.h"
#include "platform/settings_folder.h"
#include "station/station.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
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

// The station in its window: the station's thread runs the poll loop, the GUI thread the
// window. SIGTERM and SIGINT reach the station's control as a stop by that signal.
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

}  // namespace

int RunStationCommand(const std::vector<std::string>& arguments, int& argc, char** argv) {
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            std::fputs(station::StationUsageText().c_str(), stdout);
            return kExitOk;
        }
    }
    station::TStationCommandLine parsed = station::ParseStationCommandLine(arguments);
    if (parsed.error.empty()) {
        parsed.options.slotPaths = station::ResolveSlots(parsed.options.slotPaths,
                                                     SettingsFolder() + "station.ini", parsed.error);
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kavodown: %s\n", parsed.error.c_str());
        return kExitUsage;
    }

    // The one image of every unit: read here, once.
    station::TStationImage image;
    const QString path = QString::fromLocal8Bit(parsed.options.firmware.c_str());
    image.path = QFileInfo(path).absoluteFilePath().toStdString();
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kavodown: file missing: %s cannot be read as a firmware file\n",
                     image.path.c_str());
        return kExitFileMissing;
    }
    const QByteArray bytes = file.readAll();
    image.bytes.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    image.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();

    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::fprintf(stderr, "kavodown: the program's own path cannot be read\n");
        return kExitOtherError;
    }
    // A reader of the records that goes away must not end the station.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string program(self, static_cast<std::size_t>(length));
    if (!parsed.options.batch) return RunStationWindow(parsed.options, image, program, argc, argv);
    return station::RunStation(parsed.options, image, program);
}

}  // namespace kavo
