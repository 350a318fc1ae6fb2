#include "app/qt/station_entry.h"

#include "app/exit_codes.h"
#include "platform/settings_folder.h"
#include "station/station.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <csignal>
#include <unistd.h>

namespace kavo {

int RunStationCommand(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            std::fputs(station::StationUsageText().c_str(), stdout);
            return kExitOk;
        }
    }
    station::TStationCommandLine parsed = station::ParseStationCommandLine(arguments);
    if (parsed.error.empty() && !parsed.options.batch) {
        parsed.error = "the station runs without a window only: add --batch";
    }
    if (parsed.error.empty()) {
        parsed.options.slotPaths = station::ResolveSlots(parsed.options.slotPaths,
                                                     SettingsFolder() + "station.ini", parsed.error);
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kavodown: %s\n", parsed.error.c_str());
        return kExitUsage;
    }

    // The one image of every unit: read here, once.
    station::TFirmwareImage image;
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
    return station::RunStation(parsed.options, image, std::string(self, static_cast<std::size_t>(length)));
}

}  // namespace kavo
