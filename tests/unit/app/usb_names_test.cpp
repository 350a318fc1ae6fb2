// The names that USB storage mode works with: the drive of a volume broadcast, and the name the
// firmware gets on the terminal's volume.
#include "app/usb_download.h"

#include <gtest/gtest.h>

namespace kavo {
namespace {

TEST(UsbDownloadNames, UnitMaskGivesItsHighestDriveLetter) {
    EXPECT_EQ(DriveLetterOfUnitMask(1u << 0), 'A');
    EXPECT_EQ(DriveLetterOfUnitMask(1u << 25), 'Z');
    EXPECT_EQ(DriveLetterOfUnitMask((1u << 4) | (1u << 6)), 'G') << "E and G";
    EXPECT_EQ(DriveLetterOfUnitMask((1u << 6) | (1u << 26) | (1u << 31)), 'G')
        << "bits above Z are not drives";
    EXPECT_EQ(DriveLetterOfUnitMask(0), 0);
    EXPECT_EQ(DriveLetterOfUnitMask(0xFC000000u), 0);
}

TEST(UsbDownloadNames, FileNamePartIsWhatFollowsTheLastFolder) {
    EXPECT_EQ(TUsbDownload::FileNamePart("/home/op/fw/KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("/home/op/"), "");
    EXPECT_EQ(TUsbDownload::FileNamePart(""), "");
    EXPECT_EQ(TUsbDownload::FileNamePart("/a b/c d.bin"), "c d.bin");
#ifdef _WIN32
    // The name the terminal's folder gets of a Windows path: a backslash ends a folder, and a
    // drive's colon ends the drive.
    EXPECT_EQ(TUsbDownload::FileNamePart("C:\\fw\\KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("C:\\fw/new\\KV 100.bin"), "KV 100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("C:KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("\\\\server\\share\\KV100.bin"), "KV100.bin");
#else
    // On Linux both are characters of a file's name.
    EXPECT_EQ(TUsbDownload::FileNamePart("/fw/a\\b:c.bin"), "a\\b:c.bin");
#endif
}

}  // namespace
}  // namespace kavo
