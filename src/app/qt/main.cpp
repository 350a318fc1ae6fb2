// Program entry of KavoDown.
//
// kavodown [PORT [FILE [MODE]]] [--list-ports] [--help] [--version]
//
// The positional arguments are those of the main window (port number, firmware file, mode word);
// options of our own begin with "--" and never count as positional arguments. SIGTERM and SIGINT
// act as the exit button: the window closes, the settings are saved and the program ends with 0.
#include "app/qt/main_window.h"
#include "app/qt/qt_glue.h"
#include "serial/com_port.h"
#include "serial/port_map.h"
#include "serial/port_prompt.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    char byte = 1;
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

void PrintHelp() {
    std::printf(
        "Usage: kavodown [PORT [FILE [MODE]]]\n"
        "Loads a firmware file into a signature-pad terminal over a serial line.\n"
        "\n"
        "  PORT   port number, for instance 3 for COM3 (see --list-ports)\n"
        "  FILE   full path of the firmware file\n"
        "  MODE   a word containing USB (any case) selects the USB storage mode\n"
        "With any argument the transfer starts by itself 500 ms after start-up.\n"
        "\n"
        "  --list-ports  list the port numbers with their devices and exit\n"
        "  --help        show this help and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "Exit codes: 0 transfer done or exit button, 1 volume removed in USB mode,\n"
        "2 transfer failed.\n");
}

void ListPorts() {
    for (const kavo::PortEntry& entry : kavo::ListComPorts()) {
        std::printf("COM%d  %s  %s\n", entry.number, entry.path.c_str(),
                    entry.description.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    QStringList positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0) {
            positional << QString::fromLocal8Bit(argv[i]);
            continue;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            PrintHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("KavoDown 2.0\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--list-ports") == 0) {
            ListPorts();
            return 0;
        }
        std::fprintf(stderr, "kavodown: unknown option %s (see --help)\n", argv[i]);
        return 64;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KavoDown"));
    QApplication::setQuitOnLastWindowClosed(false);
    kavo::InstallQtMessageGlue();

    kavo::InstallPortPrompt();
    kavo::TFMain window(positional);
    // Errors that a component must not let through go to the window's error display.
    kavo::SetExceptionDisplay([&window](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            window.ShowError(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            window.ShowError(QStringLiteral("Unexpected error"));
        }
    });
    QObject::connect(&window, &kavo::TFMain::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    std::unique_ptr<QSocketNotifier> notifier;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&window] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            window.BT_EXITClick();
        });
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }

    window.show();
    app.exec();
    kavo::SetExceptionDisplay(nullptr);
    const int exitCode = window.ExitCode();
    return exitCode;
}
