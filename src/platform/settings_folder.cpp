#include "platform/settings_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

std::string InstallPrefix() { return KAVO_INSTALL_PREFIX; }

bool IsSystemFolder(const std::string& folder, const std::string& installPrefix) {
    if (folder.empty() || folder[0] != '/') return false;
    for (const char* system : {"/usr", "/opt"}) {
        if (IsWithin(folder, system)) return true;
    }
    const fs::path prefix = fs::path(installPrefix).lexically_normal();
    // A rooted prefix (is_absolute would also want a drive letter on Windows).
    if (!prefix.has_root_directory() || prefix.relative_path().empty()) return false;
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

std::string ChooseWindowsSettingsFolder(const TSettingsPlace& place) {
    const auto withBackslash = [](std::string folder) {
        if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';
        return folder;
    };
    if (place.configDir && *place.configDir) return withBackslash(place.configDir);
    if (place.programFolderUsable) return withBackslash(place.programFolder);
    if (place.appData && *place.appData) return withBackslash(place.appData) + "KavoDown\\";
    return withBackslash(place.programFolder);
}

std::string ChooseFirmwareStartFolder(const std::string& programFolder,
                                      const std::string& installPrefix, const char* home) {
    if (!IsSystemFolder(programFolder, installPrefix)) return WithSlash(programFolder);
    return home && *home ? WithSlash(home) : std::string("/");
}

}  // namespace kavo
