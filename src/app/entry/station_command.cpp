#include "app/entry/station_command.h"

#include "platform/exit_codes.h"
#include "platform/settings_folder.h"
#include "platform/sha256.h"
#include "station/station_options.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace kavo {
namespace {

// The one image of every unit: read here, once.
bool ReadImage(const std::string& path, station::TStationImage& image) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    image.path = error ? path : absolute.lexically_normal().string();
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    image.sha256 = Sha256Hex({reinterpret_cast<const std::uint8_t*>(image.bytes.data()),
                              image.bytes.size()});
    return true;
}

}  // namespace

int RunStationCommand(const std::vector<std::string>& arguments, const TStationWindowRun& window) {
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

    station::TStationImage image;
    if (!ReadImage(parsed.options.firmware, image)) {
        std::fprintf(stderr, "kavodown: file missing: %s cannot be read as a firmware file\n",
                     image.path.c_str());
        return kExitFileMissing;
    }

    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::fprintf(stderr, "kavodown: the program's own path cannot be read\n");
        return kExitOtherError;
    }
    // A reader of the records that goes away must not end the station.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string program(self, static_cast<std::size_t>(length));
    if (!parsed.options.batch) return window(parsed.options, image, program);
    return station::RunStation(parsed.options, image, program);
}

}  // namespace kavo
