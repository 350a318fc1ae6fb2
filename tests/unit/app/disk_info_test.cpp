#include "app/disk_info.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kavo {
namespace {

TEST(WindowsFileSystemName, MapsProbedTypesToWindowsNames) {
    struct Case {
        const char* type;
        const char* version;
        const char* name;
    };
    const Case cases[] = {
        {"vfat", "FAT12", "FAT"},   {"vfat", "FAT16", "FAT"},     {"vfat", "FAT32", "FAT32"},
        {"VFAT", "fat16", "FAT"},   {"msdos", "FAT16", "FAT"},    {"vfat", "", ""},
        {"vfat", "FAT64", ""},      {"exfat", "1.0", "exFAT"},    {"ntfs", "", "NTFS"},
        {"ntfs3", "", "NTFS"},      {"ext4", "1.0", "ext4"},      {"iso9660", "", "CDFS"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WindowsFileSystemName(c.type, c.version), c.name) << c.type << " " << c.version;
    }
}

TEST(FatNameForClusterCount, FatThirtyTwoFromSixtyFiveThousandFiveHundredTwentyFiveClusters) {
    EXPECT_EQ(FatNameForClusterCount(0), "FAT");
    EXPECT_EQ(FatNameForClusterCount(4084), "FAT");
    EXPECT_EQ(FatNameForClusterCount(65524), "FAT");
    EXPECT_EQ(FatNameForClusterCount(65525), "FAT32");
    EXPECT_EQ(FatNameForClusterCount(1u << 28), "FAT32");
}

TEST(VolumeNumber, FormattedAsTwoZeroFilledUpperCaseGroups) {
    EXPECT_EQ(FormatVolumeNumber(0), "0000-0000");
    EXPECT_EQ(FormatVolumeNumber(0x1234ABCD), "1234-ABCD");
    EXPECT_EQ(FormatVolumeNumber(0x000A00FF), "000A-00FF");
    EXPECT_EQ(FormatVolumeNumber(0xFFFFFFFF), "FFFF-FFFF");
    EXPECT_EQ(FormatVolumeNumber(0xbeef), "0000-BEEF");
}

TEST(VolumeNumber, TakenFromFatAndNtfsUuids) {
    EXPECT_EQ(VolumeNumberFromUuid("1234-ABCD"), 0x1234ABCDu);
    EXPECT_EQ(VolumeNumberFromUuid("00aa-00ff"), 0x00AA00FFu);
    EXPECT_EQ(VolumeNumberFromUuid("0123456789ABCDEF"), 0x89ABCDEFu);  // NTFS: low 32 bits
    EXPECT_FALSE(VolumeNumberFromUuid(""));
    EXPECT_FALSE(VolumeNumberFromUuid("12G4-ABCD"));
    EXPECT_FALSE(VolumeNumberFromUuid("1234ABCD"));
    EXPECT_FALSE(VolumeNumberFromUuid("0f3c1a4e-6ad6-4f0c-b0a8-ef5b3f4c2d11"));
}

TEST(ParseUdevProperties, ReadsOnlyEnvironmentLines) {
    auto p = ParseUdevProperties(
        "S:disk/by-uuid/1234-ABCD\nW:12\nE:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT16\n"
        "E:ID_FS_LABEL=TERM=1\nE:=novalue\nE:EMPTY=\nG:systemd");
    EXPECT_EQ(p.size(), 4u);
    EXPECT_EQ(p["ID_FS_TYPE"], "vfat");
    EXPECT_EQ(p["ID_FS_VERSION"], "FAT16");
    EXPECT_EQ(p["ID_FS_LABEL"], "TERM=1");
    EXPECT_EQ(p["EMPTY"], "");
}

class DiskInfoFolders : public ::testing::Test {
protected:
    test::TempDir temp_{"kavo-diskinfo"};
    const std::filesystem::path& dir_ = temp_.Path();
};

TEST_F(DiskInfoFolders, MissingFolderIsNotReadyAndRaisesNothing) {
    TDiskInfo info;
    int changes = 0;
    info.SetOnChangeLetter([&](TComponent* sender) {
        EXPECT_EQ(sender, &info);
        ++changes;
    });
    info.SetRootFolder((dir_ / "absent").string());
    EXPECT_EQ(info.DriveType(), DRIVE_NO_ROOT_DIR);
    EXPECT_FALSE(info.Ready());
    EXPECT_EQ(info.FileSystemName(), "");
    EXPECT_EQ(info.VolumeLabel(), "");
    EXPECT_EQ(info.VolumeNumber(), 0u);
    EXPECT_EQ(info.VolumeNumberFmt(), "");
    EXPECT_EQ(info.SerialNumber(), "");
    EXPECT_EQ(changes, 0);

    // A file is no root folder either.
    std::ofstream((dir_ / "file").string()) << "x";
    info.SetRootFolder((dir_ / "file").string());
    EXPECT_EQ(info.DriveType(), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(changes, 0);
}

TEST_F(DiskInfoFolders, ExistingFolderIsReadAndAnnounced) {
    TDiskInfo info;
    int changes = 0;
    info.SetOnChangeLetter([&](TComponent*) { ++changes; });
    info.SetUdevDataFolder((dir_ / "no-udev").string());
    info.SetRootFolder(dir_.string());
    EXPECT_EQ(info.RootFolder(), dir_.string());
    EXPECT_TRUE(info.Ready());
    EXPECT_NE(info.DriveType(), DRIVE_NO_ROOT_DIR);
    EXPECT_NE(info.DriveType(), DRIVE_UNKNOWN);
    EXPECT_FALSE(info.FileSystemName().empty());
    EXPECT_EQ(info.VolumeNumberFmt().size(), 9u);
    EXPECT_EQ(changes, 1);

    // Clearing the selection empties everything again.
    info.SetRootFolder("");
    EXPECT_FALSE(info.Ready());
    EXPECT_EQ(info.FileSystemName(), "");
    EXPECT_EQ(info.VolumeNumberFmt(), "");
    EXPECT_EQ(changes, 1);
}

TEST_F(DiskInfoFolders, UdevDatabaseOfTheBlockDeviceComesFirst) {
    struct stat st {};
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    if (major(st.st_dev) == 0) {
        GTEST_SKIP() << "the temporary folder is not on a block device";
    }
    std::filesystem::create_directories(dir_ / "udev");
    std::ofstream(dir_ / "udev" /
                  ("b" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))))
        << "S:disk/by-label/TERM\nE:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT16\n"
           "E:ID_FS_LABEL=TERM\nE:ID_FS_UUID=0a1b-00ff\nE:ID_SERIAL_SHORT=KV123\n";
    TDiskInfo info;
    info.SetUdevDataFolder((dir_ / "udev").string());
    info.SetRootFolder(dir_.string());
    EXPECT_EQ(info.FileSystemName(), "FAT");
    EXPECT_EQ(info.VolumeLabel(), "TERM");
    EXPECT_EQ(info.VolumeNumber(), 0x0A1B00FFu);
    EXPECT_EQ(info.VolumeNumberFmt(), "0A1B-00FF");
    EXPECT_EQ(info.SerialNumber(), "KV123");
}

}  // namespace
}  // namespace kavo
