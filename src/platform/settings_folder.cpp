#include "platform/settings_folder.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace kavo {
namespace {

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

std::string ProgramFolder() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return WithSlash(std::filesystem::current_path(ec).string());
    return WithSlash(exe.parent_path().string());
}

std::string ChooseSettingsFolder(const char* configDir, const std::string& programFolder,
                                 bool programFolderUsable, const char* xdgConfigHome,
                                 const char* home) {
    if (configDir && *configDir) return WithSlash(configDir);
    if (programFolderUsable) return WithSlash(programFolder);
    std::string base;
    if (xdgConfigHome && *xdgConfigHome && xdgConfigHome[0] == '/') {
        base = xdgConfigHome;
    } else if (home && *home) {
        base = WithSlash(home) + ".config";
    } else {
        base = "/tmp";
    }
    return WithSlash(base) + "kavodown/";
}

std::string SettingsFolder() {
    const std::string program = ProgramFolder();
    bool usable = ::access((program + "Option.ini").c_str(), F_OK) == 0 ||
                  ::access(program.c_str(), W_OK) == 0;
    std::string folder = ChooseSettingsFolder(std::getenv("KAVODOWN_CONFIG_DIR"), program, usable,
                                              std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);  // a failure shows at the first write
    return folder;
}

}  // namespace kavo
