#include "platform/settings_folder.h"

#include <algorithm>
#include <cctype>
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

std::string WithBackslash(std::string folder) {
    if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';
    return folder;
}

// A Windows folder's names, without regard to case ("C:", "program files", "kavodown").
std::vector<std::string> WindowsFolderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::string name;
    for (const char c : folder + '\\') {
        if (c == '\\' || c == '/') {
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return names;
}

// Whether the program lies in one of the folders of installed programs.
bool IsWindowsInstall(const TSettingsPlace& place) {
    const std::vector<std::string> program = WindowsFolderNames(place.programFolder);
    for (const std::string& installFolder : place.installFolders) {
        const std::vector<std::string> base = WindowsFolderNames(installFolder);
        if (!base.empty() && base.size() <= program.size() &&
            std::equal(base.begin(), base.end(), program.begin())) {
            return true;
        }
    }
    return false;
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
    if (place.configDir && *place.configDir) return WithBackslash(place.configDir);
    const bool perUser = place.appData && *place.appData;
    if (place.programFolderUsable && !(perUser && IsWindowsInstall(place))) {
        return WithBackslash(place.programFolder);
    }
    if (perUser) return WithBackslash(place.appData) + "KavoDown\\";
    return WithBackslash(place.programFolder);
}

std::string ChooseWindowsFirmwareStartFolder(const TSettingsPlace& place, const char* userFolder) {
    if (!IsWindowsInstall(place) || !userFolder || !*userFolder) return place.programFolder;
    return WithBackslash(userFolder);
}

std::string ChooseFirmwareStartFolder(const std::string& programFolder,
                                      const std::string& installPrefix, const char* home) {
    if (!IsSystemFolder(programFolder, installPrefix)) return WithSlash(programFolder);
    return home && *home ? WithSlash(home) : std::string("/");
}

}  // namespace kavo
