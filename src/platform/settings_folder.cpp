#include "platform/settings_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#ifndef KAVO_INSTALL_PREFIX
#define KAVO_INSTALL_PREFIX "/usr/local"
#endif

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// Whether `folder` is `base` or lies below it, compared by whole path components.
bool IsWithin(const fs::path& folder, const fs::path& base) {
    const fs::path f = folder.lexically_normal();
    const fs::path b = base.lexically_normal();
    auto fi = f.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi) {
        if (bi->empty()) continue;  // the trailing separator of "/usr/"
        if (fi == f.end() || *fi != *bi) return false;
        ++fi;
    }
    return true;
}

}  // namespace

std::string ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return WithSlash(fs::current_path(ec).string());
    return WithSlash(exe.parent_path().string());
}

std::string InstallPrefix() { return KAVO_INSTALL_PREFIX; }

bool IsSystemFolder(const std::string& folder, const std::string& installPrefix) {
    if (folder.empty() || folder[0] != '/') return false;
    for (const char* system : {"/usr", "/opt"}) {
        if (IsWithin(folder, system)) return true;
    }
    const fs::path prefix = fs::path(installPrefix).lexically_normal();
    if (!prefix.is_absolute() || prefix.relative_path().empty()) return false;
    return IsWithin(folder, prefix);
}

std::string ChooseSettingsFolder(const TSettingsPlace& place) {
    if (place.configDir && *place.configDir) return WithSlash(place.configDir);
    if (place.programFolderUsable && !IsSystemFolder(place.programFolder, place.installPrefix)) {
        return WithSlash(place.programFolder);
    }
    std::string base;
    if (place.xdgConfigHome && place.xdgConfigHome[0] == '/') {
        base = place.xdgConfigHome;
    } else if (place.home && *place.home) {
        base = WithSlash(place.home) + ".config";
    } else {
        base = "/tmp";
    }
    return WithSlash(base) + "kavodown/";
}

namespace {

// The program's folder comes with its links resolved; so does the prefix (/usr/local may be a
// link to another disk).
std::string ResolvedInstallPrefix() {
    std::error_code ec;
    fs::path prefix = fs::weakly_canonical(InstallPrefix(), ec);
    return ec ? InstallPrefix() : prefix.string();
}

}  // namespace

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

std::string ChooseFirmwareStartFolder(const std::string& programFolder,
                                      const std::string& installPrefix, const char* home) {
    if (!IsSystemFolder(programFolder, installPrefix)) return WithSlash(programFolder);
    return home && *home ? WithSlash(home) : std::string("/");
}

std::string FirmwareStartFolder() {
    return ChooseFirmwareStartFolder(ProgramFolder(), ResolvedInstallPrefix(), std::getenv("HOME"));
}

}  // namespace kavo
