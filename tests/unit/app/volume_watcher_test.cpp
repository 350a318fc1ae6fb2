#include "app/volume_watcher.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kavo {
namespace {

TEST(UnitMaskDriveLetter, HighestOfBitsZeroToTwentyFiveWins) {
    struct Case {
        std::uint32_t mask;
        char letter;
    };
    const Case cases[] = {
        {0, 0},
        {1u << 0, 'A'},
        {1u << 4, 'E'},
        {(1u << 4) | (1u << 6), 'G'},  // E and G
        {(1u << 25), 'Z'},
        {(1u << 25) | 1u, 'Z'},
        {1u << 26, 0},  // beyond Z
        {0xFC000000u, 0},
        {0xFC000000u | (1u << 2), 'C'},
        {0xFFFFFFFFu, 'Z'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UnitMaskDriveLetter(c.mask), c.letter) << std::hex << c.mask;
    }
}

std::vector<std::uint8_t> Record(std::uint32_t deviceType, std::uint32_t unitMask) {
    std::vector<std::uint8_t> r(18, 0);
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0, 18);
    put(4, deviceType);
    put(8, 0xDEADBEEF);  // reserved: never read
    put(12, unitMask);
    return r;
}

TEST(BroadcastDriveLetter, ReadsTypeAndMaskLittleEndian) {
    EXPECT_EQ(BroadcastDriveLetter(Record(DBT_DEVTYP_VOLUME, (1u << 4) | (1u << 6))), 'G');
    EXPECT_EQ(BroadcastDriveLetter(Record(DBT_DEVTYP_VOLUME, 1u << 3)), 'D');
    EXPECT_EQ(BroadcastDriveLetter(Record(DBT_DEVTYP_VOLUME, 0)), 0);
    // Other device types (5 = a device interface) are not about volumes.
    EXPECT_EQ(BroadcastDriveLetter(Record(5, 1u << 3)), 0);
    EXPECT_EQ(BroadcastDriveLetter(Record(DBT_DEVTYP_VOLUME | 0x100, 1u << 3)), 0);
    // A record too short to hold the mask is ignored rather than read past its end.
    std::vector<std::uint8_t> shortRecord = Record(DBT_DEVTYP_VOLUME, 1u << 3);
    shortRecord.resize(15);
    EXPECT_EQ(BroadcastDriveLetter(shortRecord), 0);
    EXPECT_EQ(BroadcastDriveLetter({}), 0);
}

TEST(UnescapeMountField, OctalEscapesBecomeBytes) {
    EXPECT_EQ(UnescapeMountField("/media/USB\\040DISK"), "/media/USB DISK");
    EXPECT_EQ(UnescapeMountField("a\\011b\\012c\\134d"), "a\tb\nc\\d");
    EXPECT_EQ(UnescapeMountField("\\040\\040"), "  ");
    // Broken or unknown escapes stay as they are.
    EXPECT_EQ(UnescapeMountField("end\\04"), "end\\04");
    EXPECT_EQ(UnescapeMountField("x\\0a9"), "x\\0a9");
    EXPECT_EQ(UnescapeMountField("\\"), "\\");
    EXPECT_EQ(UnescapeMountField("\\777"), "\\777");  // above one byte
    EXPECT_EQ(UnescapeMountField(""), "");
}

// Lines as the kernel writes them (recorded on Debian 12 machines).
const char* const kTable =
    "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
    "22 26 0:21 / /sys rw,relatime shared:7 - sysfs sysfs rw\n"
    "23 26 0:6 / /dev rw,relatime - devtmpfs devtmpfs rw,size=12334808k,mode=755\n"
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "41 22 0:38 / /sys/fs/fuse/connections rw,relatime - fusectl fusectl rw\n"
    "44 26 0:39 / /tmp/t/m rw,nosuid,nodev,relatime - fuse /tmp/t/f16.img "
    "rw,user_id=0,group_id=0\n"
    "45 26 8:17 / /media/user/TERM\\040DISK rw,nosuid,nodev,relatime shared:300 master:2 - vfat "
    "/dev/sdb1 rw,fmask=0022,dmask=0022,codepage=437,iocharset=ascii,shortname=mixed\n"
    "46 26 254:0 /srv/data /mnt/data rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "47 26 254:0 / /mnt/again rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "48 26 0:45 / /home/u/remote rw,nosuid,nodev - fuse.sshfs u@host:/ rw,user_id=0\n"
    "49 26 0:46 /@home /home rw,relatime - btrfs /dev/nvme0n1p2 rw,ssd,subvol=/@home\n"
    "50 26 0:47 / /run/user/1000/doc rw,nosuid,nodev - fuse.portal portal rw,user_id=1000\n"
    "51 26 0:48 / /mnt/sub rw,relatime - btrfs /dev/nvme0n1p3 rw,ssd,subvol=/\n";

TEST(ParseMountInfo, RecordedTableGivesEveryFieldUnescaped) {
    std::vector<TMountEntry> table = ParseMountInfo(kTable);
    ASSERT_EQ(table.size(), 14u);

    const TMountEntry& root = table[3];
    EXPECT_EQ(root.mountId, 26);
    EXPECT_EQ(root.parentId, 1);
    EXPECT_EQ(root.major, 254u);
    EXPECT_EQ(root.minor, 0u);
    EXPECT_EQ(root.root, "/");
    EXPECT_EQ(root.mountPoint, "/");
    EXPECT_EQ(root.mountOptions, "rw,relatime");
    EXPECT_EQ(root.fsType, "ext4");
    EXPECT_EQ(root.source, "/dev/vda");
    EXPECT_EQ(root.superOptions, "rw,discard");

    const TMountEntry& fuse = table[6];
    EXPECT_EQ(fuse.mountPoint, "/tmp/t/m");
    EXPECT_EQ(fuse.fsType, "fuse");
    EXPECT_EQ(fuse.source, "/tmp/t/f16.img");

    // Two optional fields before the separator, and an escaped blank in the mount point.
    const TMountEntry& stick = table[7];
    EXPECT_EQ(stick.mountPoint, "/media/user/TERM DISK");
    EXPECT_EQ(stick.major, 8u);
    EXPECT_EQ(stick.minor, 17u);
    EXPECT_EQ(stick.fsType, "vfat");
    EXPECT_EQ(stick.source, "/dev/sdb1");

    EXPECT_EQ(table[8].root, "/srv/data");
}

TEST(ParseMountInfo, MalformedLinesAreSkipped) {
    const char* const bad[] = {
        "",
        "garbage",
        "21 26 0:20 / /proc rw,relatime proc proc rw",   // no separator
        "21 26 0:20 / /proc rw,relatime -",              // nothing after it
        "21 26 0:20 / /proc rw,relatime - proc",         // no source
        "x 26 0:20 / /proc rw - proc proc rw",           // id not a number
        "21 26 020 / /proc rw - proc proc rw",           // device without colon
        "21 26 0: / /proc rw - proc proc rw",            // empty minor
        "21 26 0:20 / - proc proc rw",                   // fixed fields missing
        "99999999999 26 0:20 / /p rw - proc proc rw",    // id out of range
    };
    for (const char* line : bad) {
        EXPECT_FALSE(ParseMountInfoLine(line).has_value()) << line;
    }
    // Good lines around bad ones still count, also with Windows line ends and without a final
    // newline.
    std::string text = std::string("junk\n") + "21 26 0:20 / /proc rw - proc proc rw\r\n\n" +
                       "22 26 8:1 / /mnt rw - vfat /dev/sda1 rw";
    std::vector<TMountEntry> table = ParseMountInfo(text);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].superOptions, "rw");
    EXPECT_EQ(table[1].mountPoint, "/mnt");
    // No super options at all is tolerated.
    auto entry = ParseMountInfoLine("22 26 8:1 / /mnt rw - vfat /dev/sda1");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->superOptions, "");
}

TEST(ParseMountInfo, RandomBytesNeverBreakIt) {
    std::mt19937 random(12345);
    const std::string alphabet = "0123456789 :-/\\\n\tabcdefx";
    std::string line = "45 26 8:17 / /media/x\\040y rw shared:3 - vfat /dev/sdb1 rw";
    for (int round = 0; round < 20000; ++round) {
        std::string text = line;
        int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                default: text.insert(at, 1, static_cast<char>(random() % 256)); break;
            }
        }
        std::vector<TMountEntry> table = ParseMountInfo(text);
        for (std::size_t i = 0; i < table.size(); ++i) (void)IsVolumeEntry(table, i);
        (void)CompareMountTables(table, {});
    }
}

// Where the mounts of the tables below live, as the system would tell: USB sticks on /dev/sd*,
// images on loop devices or as files, the machine's own disks on /dev/vda and /dev/nvme*.
TDiskKind KindForTest(const TMountEntry& entry) {
    const std::string& source = entry.source;
    if (source.starts_with("/dev/sd")) return TDiskKind::removable;
    if (source.starts_with("/dev/loop") || source.ends_with(".img") || source.ends_with(".iso")) {
        return TDiskKind::image;
    }
    if (source.starts_with("/dev/vda") || source.starts_with("/dev/nvme")) return TDiskKind::fixed;
    return TDiskKind::unknown;
}

TEST(IsVolumeEntry, OnlyDrivesAreVolumes) {
    struct Case {
        const char* line;
        bool volume;
    };
    const Case cases[] = {
        // FAT, exFAT and NTFS on removable disks and images, by the kernel or through FUSE.
        {"45 26 8:17 / /media/user/TERM\\040DISK rw - vfat /dev/sdb1 rw,fmask=0022", true},
        {"46 26 8:33 / /media/user/BIG rw - exfat /dev/sdc1 rw", true},
        {"47 26 8:49 / /media/user/WIN rw - ntfs3 /dev/sdd1 rw", true},
        {"48 26 0:52 / /media/user/OLD rw - fuseblk /dev/sde1 rw,user_id=0", true},
        {"49 26 7:3 / /mnt/fat rw - vfat /dev/loop3 rw", true},
        {"50 26 0:39 / /tmp/t/m rw - fuse /tmp/t/f16.img rw,user_id=0", true},
        {"51 26 0:40 / /tmp/t/n rw - fuse.fusefat /tmp/t/f12.img rw,user_id=0", true},
        // The removal of any of these must not end the mode.
        {"60 26 7:1 / /snap/core22/1380 ro - squashfs /dev/loop1 ro", false},
        {"61 26 7:2 / /media/user/DVD ro - iso9660 /dev/loop2 ro", false},
        {"62 26 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro", false},
        {"63 26 0:60 / /mnt/nfs rw - nfs4 srv:/export rw", false},
        {"64 26 0:61 / /mnt/share rw - cifs //srv/share rw", false},
        {"65 26 0:45 / /home/u/remote rw - fuse.sshfs u@host:/ rw,user_id=0", false},
        {"66 26 0:47 / /run/user/1000/doc rw - fuse.portal portal rw", false},
        {"67 26 259:1 / /boot/efi rw - vfat /dev/nvme0n1p1 rw", false},
        {"68 1 254:0 / / rw - ext4 /dev/vda rw", false},
        {"69 26 8:18 / /media/user/LINUX rw - ext4 /dev/sdb2 rw", false},
        {"70 26 0:20 / /proc rw - proc proc rw", false},
        {"71 26 0:27 / /tmp rw - tmpfs tmpfs rw", false},
        {"72 22 0:38 / /sys/fs/fuse/connections rw - fusectl fusectl rw", false},
        // A folder of a FAT volume mounted elsewhere is no volume of its own.
        {"73 26 8:17 /Down /mnt/down rw - vfat /dev/sdb1 rw", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::vector<TMountEntry> table = ParseMountInfo(c.line);
        ASSERT_EQ(table.size(), 1u);
        EXPECT_EQ(IsVolumeEntry(table, 0, KindForTest), c.volume);
    }
    // A second mount of a volume's root (a bind mount) is not a volume; the first one is.
    const std::vector<TMountEntry> twice = ParseMountInfo(
        "45 26 8:17 / /media/T rw - vfat /dev/sdb1 rw\n"
        "46 26 8:17 / /mnt/T rw - vfat /dev/sdb1 rw\n");
    EXPECT_TRUE(IsVolumeEntry(twice, 0, KindForTest));
    EXPECT_FALSE(IsVolumeEntry(twice, 1, KindForTest));
    EXPECT_FALSE(IsVolumeEntry(twice, 2, KindForTest));
}

TEST(DiskKindOf, FuseMountOfAFileIsAnImageAndPseudoFileSystemsHaveNoDisk) {
    char pattern[] = "/tmp/kavo_disk_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string image = std::string(pattern) + "/f16.img";
    std::ofstream(image) << "x";
    EXPECT_EQ(DiskKindOf(ParseMountInfo("50 26 0:39 / /m rw - fuse " + image + " rw")[0]),
              TDiskKind::image);
    EXPECT_EQ(DiskKindOf(ParseMountInfo("70 26 0:20 / /proc rw - proc proc rw")[0]),
              TDiskKind::unknown);
    EXPECT_EQ(DiskKindOf(ParseMountInfo("65 26 0:45 / /r rw - fuse.sshfs u@host:/ rw")[0]),
              TDiskKind::unknown);
    std::filesystem::remove_all(pattern);
}

TEST(CompareMountTables, ReportsRemovalsThenArrivalsOfVolumesOnly) {
    std::vector<TMountEntry> base = ParseMountInfo(
        "21 26 0:20 / /proc rw - proc proc rw\n"
        "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "60 26 8:17 / /media/OLD rw - vfat /dev/sdb1 rw\n");
    EXPECT_TRUE(CompareMountTables(base, base, KindForTest).empty());

    std::vector<TMountEntry> next = ParseMountInfo(
        "21 26 0:20 / /proc rw - proc proc rw\n"
        "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "61 26 0:50 / /tmp/ram rw - tmpfs tmpfs rw\n"
        "62 26 0:51 / /tmp/term\\040a rw - fuse /tmp/a.img rw\n"
        "63 26 254:0 /srv /mnt/bind rw - ext4 /dev/vda rw\n");
    std::vector<TVolumeNotice> notices = CompareMountTables(base, next, KindForTest);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices[0].rootFolder, "/media/OLD");
    EXPECT_EQ(notices[0].source, "/dev/sdb1");
    EXPECT_EQ(notices[1].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(notices[1].rootFolder, "/tmp/term a");
    EXPECT_EQ(notices[1].fsType, "fuse");
}

TEST(VolumesWithoutDisk, AVolumeWhoseDiskWentAwayIsRemovedWhileStillMounted) {
    // Nothing unmounts a stick pulled out without an automounter: its mount stays, its disk goes.
    const std::vector<TMountEntry> table = ParseMountInfo(
        "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "60 26 8:0 / /mnt/term rw - vfat /dev/sda rw\n"
        "61 26 8:16 / /mnt/other rw - vfat /dev/sdb rw\n"
        "62 26 0:51 / /tmp/t rw - fuse /tmp/a.img rw\n");
    const std::set<int> volumes = VolumeIds(table, KindForTest);
    ASSERT_EQ(volumes, (std::set<int>{60, 61, 62}));
    const auto onlySdb = [](TDeviceNumber disk) { return disk.major == 8 && disk.minor == 16; };
    const std::vector<TVolumeNotice> notices = VolumesWithoutDisk(table, volumes, onlySdb);
    // Not the fixed disk (no volume), not a FUSE image (no block device of its own to lose).
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices[0].rootFolder, "/mnt/term");
    EXPECT_EQ(notices[0].source, "/dev/sda");
    // Every disk there: nothing went away.
    EXPECT_TRUE(VolumesWithoutDisk(table, volumes, [](TDeviceNumber) { return true; }).empty());
}

TEST(CompareMountTables, AMountIsJudgedByItsIdNotItsPlace) {
    // The same volume mounted again at the same place is a removal and an arrival.
    auto a = ParseMountInfo("60 26 8:17 / /media/T rw - vfat /dev/sdb1 rw\n");
    auto b = ParseMountInfo("70 26 8:17 / /media/T rw - vfat /dev/sdb1 rw\n");
    auto notices = CompareMountTables(a, b, KindForTest);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices[1].event, DBT_DEVICEARRIVAL);

    // A bind mount of a volume's root that outlives the volume's first mount is no arrival.
    auto withBind = ParseMountInfo(
        "60 26 8:17 / /media/T rw - vfat /dev/sdb1 rw\n"
        "61 26 8:17 / /mnt/T rw - vfat /dev/sdb1 rw\n");
    auto bindOnly = ParseMountInfo("61 26 8:17 / /mnt/T rw - vfat /dev/sdb1 rw\n");
    notices = CompareMountTables(withBind, bindOnly, KindForTest);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices[0].rootFolder, "/media/T");
    // Adding the bind mount later reports nothing.
    EXPECT_TRUE(CompareMountTables(ParseMountInfo("60 26 8:17 / /media/T rw - vfat /dev/sdb1 rw\n"),
                                   withBind, KindForTest)
                    .empty());
}

TEST(VolumeWatcher, ReportsWhyItCannotStart) {
    TVolumeWatcher watcher([](const TVolumeNotice&) {}, "/nonexistent/mountinfo");
    EXPECT_FALSE(watcher.Start());
    EXPECT_FALSE(watcher.Running());
    EXPECT_NE(watcher.LastError().find("/nonexistent/mountinfo"), std::string::npos);
    EXPECT_FALSE(watcher.TakeNotice(1).has_value());
}

TEST(VolumeWatcher, StartsOnTheSystemTableAndStopsPromptly) {
    TVolumeWatcher watcher([](const TVolumeNotice&) {});
    ASSERT_TRUE(watcher.Start()) << watcher.LastError();
    EXPECT_TRUE(watcher.Running());
    EXPECT_TRUE(watcher.Start());  // already running: nothing changes
    watcher.Stop();                // returns only once the thread has left poll()
    EXPECT_FALSE(watcher.Running());
    ASSERT_TRUE(watcher.Start()) << watcher.LastError();  // and can start again
}

}  // namespace
}  // namespace kavo
