#include "platform/settings_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

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
    char pattern[] = "/tmp/kavo_cfg_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    std::string folder = std::string(pattern) + "/deeper";
    ::setenv("KAVODOWN_CONFIG_DIR", folder.c_str(), 1);
    EXPECT_EQ(SettingsFolder(), folder + "/");
    EXPECT_TRUE(fs::is_directory(folder));
    ::unsetenv("KAVODOWN_CONFIG_DIR");
    fs::remove_all(pattern);
}

}  // namespace
}  // namespace kavo
