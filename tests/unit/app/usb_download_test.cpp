#include "app/usb_download.h"

#include "app/volume_watcher.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

TEST(UsbDownloadNames, FileNamePartIsWhatFollowsTheLastSlash) {
    EXPECT_EQ(TUsbDownload::FileNamePart("/home/op/fw/KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("KV100.bin"), "KV100.bin");
    EXPECT_EQ(TUsbDownload::FileNamePart("/home/op/"), "");
    EXPECT_EQ(TUsbDownload::FileNamePart(""), "");
    EXPECT_EQ(TUsbDownload::FileNamePart("/a b/c d.bin"), "c d.bin");
}

// Records what the handler asks of the window.
struct WindowProbe {
    bool usbMode = true;
    std::string fileName;
    std::vector<std::string> calls;

    TUsbDownloadHooks Hooks() {
        TUsbDownloadHooks hooks;
        hooks.usbMode = [this] { return usbMode; };
        hooks.fileName = [this] { return fileName; };
        hooks.sendCmd = [this](unsigned char cmd, const std::u16string& data) {
            calls.push_back("cmd " + std::to_string(cmd) + " " +
                            std::string(data.begin(), data.end()));
            return -1;
        };
        hooks.destroyWindow = [this] { calls.push_back("destroy"); };
        hooks.exitProcess = [this](int code) { calls.push_back("exit " + std::to_string(code)); };
        return hooks;
    }
};

class UsbDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "fw");
        std::ofstream(dir_ / "fw" / "KV100.bin", std::ios::binary) << "firmware-bytes";
        fs::create_directories(dir_ / "vol");
        probe_.fileName = (dir_ / "fw" / "KV100.bin").string();
        info_.SetUdevDataFolder((dir_ / "udev").string());
    }

    // Makes the volume that holds the temporary folder look like FAT16 through the udev
    // database; false when that folder is on no block device.
    bool PretendFat(const char* version) {
        struct stat st {};
        if (stat(dir_.c_str(), &st) != 0 || major(st.st_dev) == 0) return false;
        fs::create_directories(dir_ / "udev");
        std::ofstream(dir_ / "udev" / ("b" + std::to_string(major(st.st_dev)) + ":" +
                                       std::to_string(minor(st.st_dev))))
            << "E:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=" << version << "\n";
        return true;
    }

    test::TempDir temp_{"kavo-usb"};
    const std::filesystem::path& dir_ = temp_.Path();
    WindowProbe probe_;
    TDiskInfo info_;
};

TEST_F(UsbDownloadTest, NothingHappensOutsideUsbMode) {
    PretendFat("FAT16");
    fs::create_directories(dir_ / "vol" / "Down");
    probe_.usbMode = false;
    TUsbDownload handler(info_, probe_.Hooks());
    handler.DeviceChange(DBT_DEVICEARRIVAL, (dir_ / "vol").string());
    handler.DeviceChange(DBT_DEVICEREMOVECOMPLETE, (dir_ / "vol").string());
    EXPECT_TRUE(probe_.calls.empty());
    EXPECT_TRUE(fs::is_empty(dir_ / "vol" / "Down"));
    EXPECT_EQ(info_.RootFolder(), "");
}

TEST_F(UsbDownloadTest, RemovalOfAnyVolumeDestroysTheWindowThenExitsWithOne) {
    TUsbDownload handler(info_, probe_.Hooks());
    handler.DeviceChange(DBT_DEVICEREMOVECOMPLETE, "/media/someone-elses-stick");
    EXPECT_EQ(probe_.calls, (std::vector<std::string>{"destroy", "exit 1"}));
    // Other event codes are not for this handler.
    probe_.calls.clear();
    handler.DeviceChange(0x8001, (dir_ / "vol").string());  // query remove
    handler.DeviceChange(0x0007, (dir_ / "vol").string());  // devnodes changed
    EXPECT_TRUE(probe_.calls.empty());
}

TEST_F(UsbDownloadTest, VolumeWithoutDownFolderIsNotTouched) {
    PretendFat("FAT16");
    std::ofstream(dir_ / "vol" / "Down") << "a file, not a folder";
    TUsbDownload handler(info_, probe_.Hooks());
    handler.DeviceChange(DBT_DEVICEARRIVAL, (dir_ / "vol").string());
    EXPECT_TRUE(probe_.calls.empty());
    EXPECT_EQ(info_.RootFolder(), "");  // not even looked at
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "vol")) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"Down"});
}

TEST_F(UsbDownloadTest, FatVolumeGetsTheFileAndTheCommand) {
    if (!PretendFat("FAT16")) GTEST_SKIP() << "the temporary folder is not on a block device";
    fs::create_directories(dir_ / "vol" / "DOWN");  // as the terminal may spell it
    TUsbDownload handler(info_, probe_.Hooks());
    handler.DeviceChange(DBT_DEVICEARRIVAL, (dir_ / "vol").string());
    std::ifstream in(dir_ / "vol" / "DOWN" / "KV100.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "firmware-bytes");
    EXPECT_EQ(probe_.calls, std::vector<std::string>{"cmd 209 E"});

    // A second arrival runs the same steps again; a missing source still sends the command.
    probe_.calls.clear();
    probe_.fileName = (dir_ / "fw" / "absent.bin").string();
    handler.DeviceChange(DBT_DEVICEARRIVAL, (dir_ / "vol").string());
    EXPECT_EQ(probe_.calls, std::vector<std::string>{"cmd 209 E"});
    EXPECT_FALSE(fs::exists(dir_ / "vol" / "DOWN" / "absent.bin"));
}

TEST_F(UsbDownloadTest, OnlyExactlyFatCounts) {
    if (!PretendFat("FAT32")) GTEST_SKIP() << "the temporary folder is not on a block device";
    fs::create_directories(dir_ / "vol" / "Down");
    TUsbDownload handler(info_, probe_.Hooks());
    handler.DeviceChange(DBT_DEVICEARRIVAL, (dir_ / "vol").string());
    EXPECT_EQ(info_.FileSystemName(), "FAT32");
    EXPECT_TRUE(probe_.calls.empty());
    EXPECT_TRUE(fs::is_empty(dir_ / "vol" / "Down"));
}

}  // namespace
}  // namespace kavo
