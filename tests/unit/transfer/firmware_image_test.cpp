#include "transfer/firmware_image.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine_harness.h"

namespace kavo::test {
namespace {

TEST(FirmwareImage, HoldsTheWholeFile) {
    TempFolder folder;
    const auto content = PatternBytes(200000, 11);
    const std::string path = folder.Write("fw*.bin", content);
    const TFirmwareImage::TLoadResult loaded = TFirmwareImage::Load(path);
    ASSERT_NE(loaded.image, nullptr) << loaded.message;
    EXPECT_EQ(loaded.error, 0);
    EXPECT_EQ(loaded.image->Path(), path);
    EXPECT_EQ(loaded.image->Bytes(), content);
    EXPECT_GT(loaded.image->ModifiedTime(), 0);
}

TEST(FirmwareImage, RefusesWhatIsNoFirmwareFileWithTheReason) {
    TempFolder folder;
    const std::string fifo = folder.Path() + "/fw.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // One byte above the limit; sparse, so that it takes no room.
    const std::string big = folder.Write("big.bin", {});
    ASSERT_EQ(::truncate(big.c_str(), kMaxImageSize + 1), 0);
    const std::string atLimit = folder.Write("limit.bin", {});
    ASSERT_EQ(::truncate(atLimit.c_str(), kMaxImageSize), 0);

    struct Case {
        std::string path;
        int error;
        const char* text;
    };
    const Case cases[] = {
        {folder.Path() + "/missing.bin", ENOENT, "No such file or directory"},
        {folder.Path(), EISDIR, "is a folder"},
        {fifo, EINVAL, "is not a regular file"},
        {big, EFBIG, "firmware files above 64 MiB are refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const TFirmwareImage::TLoadResult loaded = TFirmwareImage::Load(c.path);
        EXPECT_EQ(loaded.image, nullptr);
        EXPECT_EQ(loaded.error, c.error);
        EXPECT_NE(loaded.message.find(c.path), std::string::npos) << loaded.message;
        EXPECT_NE(loaded.message.find(c.text), std::string::npos) << loaded.message;
    }
    const TFirmwareImage::TLoadResult limit = TFirmwareImage::Load(atLimit);
    ASSERT_NE(limit.image, nullptr) << limit.message;
    EXPECT_EQ(limit.image->Size(), kMaxImageSize);
}

}  // namespace
}  // namespace kavo::test
