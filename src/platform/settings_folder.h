// Where the tool keeps its settings files (Option.ini, ports.ini).
//
// In this order:
//  1. the folder named by the environment variable KAVODOWN_CONFIG_DIR;
//  2. the program's own folder, when Option.ini is already there or the folder is writable (a
//     portable install keeps its settings beside the program);
//  3. $XDG_CONFIG_HOME/kavodown/ (by default ~/.config/kavodown/).
// SettingsFolder() creates the chosen folder when it is missing, so the first write succeeds.
//
// Thread safety: reads the environment and the file system on each call; any thread may call.
#pragma once

#include <string>

namespace kavo {

// The folder of the running program, with a trailing '/'.
std::string ProgramFolder();

// The settings folder, with a trailing '/'.
std::string SettingsFolder();

// The rule above as a pure function, for tests: the environment values (null when unset), the
// program's folder and whether it qualifies (Option.ini present or writable).
std::string ChooseSettingsFolder(const char* configDir, const std::string& programFolder,
                                 bool programFolderUsable, const char* xdgConfigHome,
                                 const char* home);

}  // namespace kavo
