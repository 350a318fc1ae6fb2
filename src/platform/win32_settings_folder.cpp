// The settings folder's look-ups on Windows: the program's path from the loader, the environment
// in UTF-16, and whether the program's folder takes a file.
#include "platform/settings_folder.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/file_io.h"
#include "platform/win32_text.h"

namespace kavo {
namespace {

std::optional<std::string> Environment(const wchar_t* name) {
    const wchar_t* value = ::_wgetenv(name);
    if (!value) return std::nullopt;
    return Utf8FromWide(value);
}

const char* OrNull(const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
}

// Where installed programs live: %ProgramFiles%, and on 64-bit systems the 32-bit programs' folder.
std::vector<std::string> InstallFolders() {
    std::vector<std::string> folders;
    for (const wchar_t* name : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
        if (const auto folder = Environment(name)) folders.push_back(*folder);
    }
    return folders;
}

}  // namespace

std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return ".\\";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::string program = Utf8FromWide(path);
    const std::size_t separator = LastPathSeparator(program);
    return separator == std::string::npos ? std::string(".\\") : program.substr(0, separator + 1);
}

std::string SettingsFolder() {
    const auto configDir = Environment(L"KAVODOWN_CONFIG_DIR");
    const auto appData = Environment(L"APPDATA");
    TSettingsPlace place;
    place.configDir = OrNull(configDir);
    place.appData = OrNull(appData);
    place.programFolder = ProgramFolder();
    place.installFolders = InstallFolders();
    TFileFacts facts;
    place.programFolderUsable = ReadFileFacts(place.programFolder + "Option.ini", facts) == 0 ||
                                FolderWritable(place.programFolder);
    std::string folder = ChooseWindowsSettingsFolder(place);
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(folder), ec);  // a failure shows at the first write
    return folder;
}

std::string FirmwareStartFolder() {
    TSettingsPlace place;
    place.programFolder = ProgramFolder();
    place.installFolders = InstallFolders();
    const auto userFolder = Environment(L"USERPROFILE");
    return ChooseWindowsFirmwareStartFolder(place, OrNull(userFolder));
}

}  // namespace kavo
