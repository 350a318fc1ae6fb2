// The settings folder's look-ups on Linux: the program's path from /proc, the environment, and
// what the file system allows.
#include "platform/settings_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// The program's folder comes with its links resolved; so does the prefix (/usr/local may be a
// link to another disk).
std::string ResolvedInstallPrefix() {
    std::error_code ec;
    fs::path prefix = fs::weakly_canonical(InstallPrefix(), ec);
    return ec ? InstallPrefix() : prefix.string();
}

}  // namespace

std::string ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return WithSlash(fs::current_path(ec).string());
    return WithSlash(exe.parent_path().string());
}

std::string SettingsFolder() {
    TSettingsPlace place;
    place.configDir = std::getenv("KAVODOWN_CONFIG_DIR");
    place.programFolder = ProgramFolder();
    place.programFolderUsable =
        ::access((place.programFolder + "Option.ini").c_str(), F_OK) == 0 ||
        ::access(place.programFolder.c_str(), W_OK) == 0;
    place.installPrefix = ResolvedInstallPrefix();
    place.xdgConfigHome = std::getenv("XDG_CONFIG_HOME");
    place.home = std::getenv("HOME");
    std::string folder = ChooseSettingsFolder(place);
    std::error_code ec;
    fs::create_directories(folder, ec);  // a failure shows at the first write
    return folder;
}

std::string FirmwareStartFolder() {
    return ChooseFirmwareStartFolder(ProgramFolder(), ResolvedInstallPrefix(), std::getenv("HOME"));
}

}  // namespace kavo
