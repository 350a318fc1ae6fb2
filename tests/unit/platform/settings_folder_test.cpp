#include "platform/settings_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

struct FolderCase {
    const char* name;
    const char* configDir;  // KAVODOWN_CONFIG_DIR
    const char* programFolder;
    bool usable;  // Option.ini beside the program, or its folder writable
    const char* installPrefix;
    const char* xdgConfigHome;
    const char* home;
    const char* expected;
};

class SettingsFolderRule : public ::testing::TestWithParam<FolderCase> {};

TEST_P(SettingsFolderRule, ChoosesTheFolder) {
    const FolderCase& c = GetParam();
    TSettingsPlace place;
    place.configDir = c.configDir;
    place.programFolder = c.programFolder;
    place.programFolderUsable = c.usable;
    place.installPrefix = c.installPrefix;
    place.xdgConfigHome = c.xdgConfigHome;
    place.home = c.home;
    EXPECT_EQ(ChooseSettingsFolder(place), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFolderRule,
    ::testing::Values(
        // The environment's folder wins over everything, an installed program included.
        FolderCase{"override", "/etc/kd", "/usr/bin/", true, "/usr/local", "/x", "/root",
                   "/etc/kd/"},
        FolderCase{"emptyOverrideIgnored", "", "/srv/kd/", true, "/usr/local", "/x", "/home/u",
                   "/srv/kd/"},
        // A program in a folder of its own keeps the portable rule.
        FolderCase{"portable", nullptr, "/srv/kd/", true, "/usr/local", "/x", "/home/u",
                   "/srv/kd/"},
        FolderCase{"portableNotUsable", nullptr, "/srv/kd/", false, "/usr/local", "/x/cfg",
                   "/home/u", "/x/cfg/kavodown/"},
        FolderCase{"buildTree", nullptr, "/work/kavodown/build/bin/", true, "/usr/local", nullptr,
                   "/home/u", "/work/kavodown/build/bin/"},
        // Installed programs never write beside themselves, also as root (folder writable).
        FolderCase{"usrBinAsRoot", nullptr, "/usr/bin/", true, "/usr/local", nullptr, "/root",
                   "/root/.config/kavodown/"},
        FolderCase{"usrBinXdg", nullptr, "/usr/bin/", true, "/usr/local", "/root/cfg", "/root",
                   "/root/cfg/kavodown/"},
        FolderCase{"usrLocalBin", nullptr, "/usr/local/bin/", true, "/usr/local", nullptr,
                   "/home/u", "/home/u/.config/kavodown/"},
        FolderCase{"opt", nullptr, "/opt/kavodown/bin/", true, "/usr/local", nullptr, "/home/u",
                   "/home/u/.config/kavodown/"},
        FolderCase{"optItself", nullptr, "/opt/", true, "/usr/local", nullptr, "/home/u",
                   "/home/u/.config/kavodown/"},
        FolderCase{"customPrefix", nullptr, "/srv/tools/bin/", true, "/srv/tools", nullptr,
                   "/home/u", "/home/u/.config/kavodown/"},
        FolderCase{"customPrefixSlash", nullptr, "/srv/tools/bin/", true, "/srv/tools/",
                   nullptr, "/home/u", "/home/u/.config/kavodown/"},
        FolderCase{"unnormalisedFolder", nullptr, "/usr/./lib/../bin/", true, "/usr/local",
                   nullptr, "/home/u", "/home/u/.config/kavodown/"},
        // Lookalike folders are folders of their own.
        FolderCase{"usrLookalike", nullptr, "/usr2/bin/", true, "/usr/local", nullptr, "/home/u",
                   "/usr2/bin/"},
        FolderCase{"optLookalike", nullptr, "/optional/kd/", true, "/usr/local", nullptr,
                   "/home/u", "/optional/kd/"},
        FolderCase{"prefixLookalike", nullptr, "/srv/tools2/bin/", true, "/srv/tools", nullptr,
                   "/home/u", "/srv/tools2/bin/"},
        // A prefix of "/" would make every folder a system one: it names none.
        FolderCase{"rootPrefix", nullptr, "/srv/kd/", true, "/", nullptr, "/home/u", "/srv/kd/"},
        FolderCase{"emptyPrefix", nullptr, "/srv/kd/", true, "", nullptr, "/home/u", "/srv/kd/"},
        // A relative XDG_CONFIG_HOME is invalid and ignored; without HOME the folder is /tmp's.
        FolderCase{"relativeXdg", nullptr, "/usr/bin/", true, "/usr/local", "rel", "/home/u/",
                   "/home/u/.config/kavodown/"},
        FolderCase{"noHome", nullptr, "/usr/bin/", true, "/usr/local", nullptr, nullptr,
                   "/tmp/kavodown/"}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.name); });

// On Windows the fallback is %APPDATA%\KavoDown, and folders end with a backslash.
TEST(SettingsFolder, WindowsRuleKeepsThePortableFolderElseUsesAppData) {
    TSettingsPlace place;
    place.programFolder = "C:\\Tools\\KavoDown\\";
    place.appData = "C:\\Users\\u\\AppData\\Roaming";
    place.programFolderUsable = true;
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), "C:\\Tools\\KavoDown\\");
    place.programFolderUsable = false;  // under Program Files, for instance
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), "C:\\Users\\u\\AppData\\Roaming\\KavoDown\\");
    place.configDir = "D:\\cfg";
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), "D:\\cfg\\");
    place.configDir = "D:/cfg/";
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), "D:/cfg/");
    // Without %APPDATA% the program's folder is the one place left; a write there says why it fails.
    place.configDir = nullptr;
    place.appData = nullptr;
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), "C:\\Tools\\KavoDown\\");
}

// An installed program (under %ProgramFiles% or %ProgramFiles(x86)%) keeps its settings per user,
// also where its folder could be written (an administrator's session, or Wine); its firmware box
// starts in the user's folder. Folders compare by whole names, without regard to case.
TEST(SettingsFolder, WindowsInstalledProgramKeepsItsSettingsPerUser) {
    TSettingsPlace place;
    place.appData = "C:\\Users\\u\\AppData\\Roaming";
    place.programFolderUsable = true;
    place.installFolders = {"C:\\Program Files", "C:\\Program Files (x86)\\"};
    const std::string perUser = "C:\\Users\\u\\AppData\\Roaming\\KavoDown\\";
    for (const char* folder : {"C:\\Program Files\\KavoDown\\", "c:\\program files (x86)\\KavoDown\\",
                               "C:/Program Files/KavoDown/"}) {
        place.programFolder = folder;
        EXPECT_EQ(ChooseWindowsSettingsFolder(place), perUser) << folder;
        EXPECT_EQ(ChooseWindowsFirmwareStartFolder(place, "C:\\Users\\u"), "C:\\Users\\u\\") << folder;
    }
    place.programFolder = "C:\\Program Files Tools\\KavoDown\\";
    EXPECT_EQ(ChooseWindowsSettingsFolder(place), place.programFolder);
    EXPECT_EQ(ChooseWindowsFirmwareStartFolder(place, "C:\\Users\\u"), place.programFolder);
    // Without a user's folder the installed program's box starts in its own.
    place.programFolder = "C:\\Program Files\\KavoDown\\";
    EXPECT_EQ(ChooseWindowsFirmwareStartFolder(place, nullptr), place.programFolder);
}

// Where the firmware box and its dialog start before any file was chosen: beside a portable
// program, in the home folder for an installed one (its folder holds programs, not firmware).
TEST(FirmwareStartFolder, PortableProgramsFolderInstalledProgramsHome) {
    EXPECT_EQ(ChooseFirmwareStartFolder("/srv/kd/", "/usr/local", "/home/u"), "/srv/kd/");
    EXPECT_EQ(ChooseFirmwareStartFolder("/usr/bin/", "/usr/local", "/home/u"), "/home/u/");
    EXPECT_EQ(ChooseFirmwareStartFolder("/opt/kavodown/bin/", "/usr/local", "/root/"), "/root/");
    EXPECT_EQ(ChooseFirmwareStartFolder("/srv/tools/bin/", "/srv/tools", "/home/u"), "/home/u/");
    // Without a home folder an installed program starts at the root rather than in /usr/bin.
    EXPECT_EQ(ChooseFirmwareStartFolder("/usr/bin/", "/usr/local", nullptr), "/");
    EXPECT_EQ(ChooseFirmwareStartFolder("/usr/bin/", "/usr/local", ""), "/");
}

TEST(SettingsFolder, EnvironmentOverrideIsCreated) {
    test::TempDir dir("kavo_cfg");
    const std::string folder = Utf8FromPath(dir.Path() / "설정 폴더");
    SetEnvironment("KAVODOWN_CONFIG_DIR", folder.c_str());
#ifdef _WIN32
    EXPECT_EQ(SettingsFolder(), folder + "\\");
#else
    EXPECT_EQ(SettingsFolder(), folder + "/");
#endif
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));
    SetEnvironment("KAVODOWN_CONFIG_DIR", nullptr);
#ifdef _WIN32
    // Without the override a program in a writable folder (the test's own) keeps its settings
    // beside itself.
    EXPECT_EQ(SettingsFolder(), ProgramFolder());
    EXPECT_EQ(ProgramFolder().back(), '\\');
    EXPECT_TRUE(fs::exists(PathFromUtf8(ProgramFolder() + "unit_platform.exe")));
#endif
}

}  // namespace
}  // namespace kavo
