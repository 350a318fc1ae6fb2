// Where the tool keeps its settings files (Option.ini, ports.ini).
//
// In this order:
//  1. the folder named by the environment variable KAVODOWN_CONFIG_DIR;
//  2. the program's own folder, when Option.ini is already there or the folder is writable (a
//     portable install keeps its settings beside the program), unless the program lives in a
//     system folder (under the install prefix, /usr or /opt): an installed program never writes
//     beside itself, also when it runs as root;
//  3. $XDG_CONFIG_HOME/kavodown/ (by default ~/.config/kavodown/).
// On Windows: KAVODOWN_CONFIG_DIR, else the program's folder when Option.ini is there or the
// folder is writable, unless the program is installed (under %ProgramFiles% or
// %ProgramFiles(x86)%): an installed program never writes beside itself, also where it could;
// else %APPDATA%\KavoDown\.
// SettingsFolder() creates the chosen folder when it is missing, so the first write succeeds.
//
// Thread safety: reads the environment and the file system on each call; any thread may call.
#pragma once

#include <string>
#include <vector>

namespace kavo {

// The folder of the running program, with a trailing separator.
std::string ProgramFolder();

// The settings folder, with a trailing separator.
std::string SettingsFolder();

// The prefix the program was configured to be installed under (for instance /usr/local).
std::string InstallPrefix();

// Whether `folder` is one of the system's program folders: /usr, /opt or `installPrefix`, or a
// folder below one of them. Folders compare by whole path components, so /usr2 and /optional are
// not system folders; a prefix of "/" or "" names no folder of its own and is not counted.
bool IsSystemFolder(const std::string& folder, const std::string& installPrefix);

// What the rule above looks at. Environment values are null when unset.
struct TSettingsPlace {
    const char* configDir = nullptr;   // KAVODOWN_CONFIG_DIR
    std::string programFolder;         // the program's folder
    bool programFolderUsable = false;  // Option.ini is there, or the folder is writable
    std::string installPrefix;         // the configured install prefix
    const char* xdgConfigHome = nullptr;
    const char* home = nullptr;
    const char* appData = nullptr;    // %APPDATA% (Windows)
    // Windows: the folders that installed programs live in (%ProgramFiles%, %ProgramFiles(x86)%).
    std::vector<std::string> installFolders;
};

// The rules above as pure functions, for tests; the Windows one ends its folders with '\'.
std::string ChooseSettingsFolder(const TSettingsPlace& place);
std::string ChooseWindowsSettingsFolder(const TSettingsPlace& place);

// Where the firmware file box and its dialog start when no file was chosen before: the program's
// folder for a portable program, the home folder ("/" without one) for an installed program,
// whose folder holds programs only. With a trailing '/'. On Windows an installed program starts in
// the user's folder (%USERPROFILE%).
std::string FirmwareStartFolder();
std::string ChooseFirmwareStartFolder(const std::string& programFolder,
                                      const std::string& installPrefix, const char* home);
// On Windows: `userFolder` is %USERPROFILE%; folders end with '\'.
std::string ChooseWindowsFirmwareStartFolder(const TSettingsPlace& place, const char* userFolder);

}  // namespace kavo
