// The USB download mode against real FAT volumes: images made with mkfs.vfat and mounted with
// fusefat, watched through the mount table.
#include "app/copy_file.h"
#include "app/disk_info.h"
#include "app/usb_download.h"
#include "app/volume_watcher.h"
#include "fat_skip.h"
#include "fat_volume.h"

#include "platform/message_queue.h"
#include "support/read_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kavo {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;
using sim::FatVolume;

FatVolume::Options Fat(int bits, int sizeKiB = 32 * 1024) {
    FatVolume::Options options;
    options.fatBits = bits;
    options.sizeKiB = sizeKiB;
    return options;
}

std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        names.push_back(e.path().lexically_relative(folder).string() + ":" +
                        (e.is_directory() ? "dir" : std::to_string(e.file_size())));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs this thread's messages until `done` holds or 10 s have passed.
template <typename Predicate>
bool PumpUntil(Predicate done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (WaitForMessage(100)) PumpOneMessage();
    }
    return true;
}

TEST(FatVolumeInfo, NamesLabelsAndNumbersOfRealVolumes) {
    KAVO_SKIP_WITHOUT_FAT();
    struct Case {
        int bits;
        int sizeKiB;
        const char* name;
    };
    const Case cases[] = {{12, 2048, "FAT"}, {16, 32 * 1024, "FAT"}, {32, 64 * 1024, "FAT32"}};
    for (const Case& c : cases) {
        SCOPED_TRACE("FAT" + std::to_string(c.bits));
        FatVolume::Options options = Fat(c.bits, c.sizeKiB);
        options.label = "TERMINAL";
        options.volumeId = "0a1b00ff";
        FatVolume volume(options);
        volume.Mount();
        TDiskInfo info;
        int changes = 0;
        info.SetOnChangeLetter([&](TComponent*) { ++changes; });
        info.SetRootFolder(volume.Root());
        EXPECT_EQ(info.DriveType(), DRIVE_REMOVABLE);
        EXPECT_TRUE(info.Ready());
        EXPECT_EQ(info.FileSystemName(), c.name);
        EXPECT_EQ(info.VolumeLabel(), "TERMINAL");
        EXPECT_EQ(info.VolumeNumber(), 0x0A1B00FFu);
        EXPECT_EQ(info.VolumeNumberFmt(), "0A1B-00FF");
        EXPECT_EQ(changes, 1);

        // Once the volume is gone the folder is a plain folder of the disk underneath.
        ASSERT_TRUE(volume.Unmount());
        info.SetRootFolder(volume.Root());
        EXPECT_NE(info.FileSystemName(), c.name);
    }
}

// A newer image may be shorter than the one on the stick: the copy must leave no tail of the old
// one behind (a truncating open alone does not shorten the file on every FAT driver).
TEST(CopyOntoFatVolumes, AShorterImageReplacesALongerOneWhole) {
    KAVO_SKIP_WITHOUT_FAT();
    FatVolume volume(Fat(16));
    volume.Mount();
    const fs::path source = fs::path(volume.Folder()) / "source.bin";
    const fs::path target = fs::path(volume.Root()) / "Down" / "KV7000.bin";
    std::string longer(100 * 1024, 'L'), shorter(10 * 1024 + 7, 'S');
    std::ofstream(source, std::ios::binary) << longer;
    ASSERT_TRUE(CopyFileTo(source.string(), target.string()));
    std::ofstream(source, std::ios::binary | std::ios::trunc) << shorter;
    ASSERT_TRUE(CopyFileTo(source.string(), target.string()));
    EXPECT_EQ(fs::file_size(target), shorter.size());
    ASSERT_TRUE(volume.Unmount());
    volume.Mount();  // what the image holds, not a cache
    EXPECT_EQ(ReadFile(target), shorter);
}

TEST(VolumeWatcherOnRealMounts, ReportsArrivalAndRemovalWithTheRootFolder) {
    KAVO_SKIP_WITHOUT_FAT();
    // A blank in the folder name travels escaped through the mount table.
    FatVolume::Options options = Fat(16);
    options.mountName = "TERM DISK";
    FatVolume volume(options);
    // Only this test's volume counts: other tests may mount their own meanwhile.
    std::vector<TVolumeNotice> notices;
    TVolumeWatcher watcher([&](const TVolumeNotice& n) {
        if (n.rootFolder == volume.Root()) notices.push_back(n);
    });
    ASSERT_TRUE(watcher.Start()) << watcher.LastError();

    volume.Mount();
    ASSERT_TRUE(PumpUntil([&] { return !notices.empty(); }));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(notices[0].rootFolder, volume.Root());
    EXPECT_EQ(notices[0].source, volume.ImagePath());

    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return notices.size() >= 2; }));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices[1].rootFolder, volume.Root());

    // A stopped watcher reports nothing more.
    watcher.Stop();
    volume.Mount();
    ASSERT_TRUE(volume.Unmount());
    while (PumpOneMessage() != 0) {
    }
    EXPECT_EQ(notices.size(), 2u);
}

// The handler behind a watcher, as the main window runs it, with the window's parts recorded.
class UsbModeOnVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        KAVO_SKIP_WITHOUT_FAT();
        char pattern[] = "/tmp/kavo-fw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fwFolder_ = pattern;
        firmware_.resize(150000);
        for (std::size_t i = 0; i < firmware_.size(); ++i) {
            firmware_[i] = static_cast<char>((i * 31 + 7) & 0xFF);
        }
        fileName_ = (fwFolder_ / "KV7000.bin").string();
        std::ofstream(fileName_, std::ios::binary) << firmware_;

        TUsbDownloadHooks hooks;
        hooks.usbMode = [] { return true; };
        hooks.fileName = [this] { return fileName_; };
        hooks.sendCmd = [this](unsigned char cmd, const std::u16string& data) {
            calls_.push_back("cmd " + std::to_string(cmd) + " " +
                             std::string(data.begin(), data.end()));
            return -1;
        };
        hooks.destroyWindow = [this] { calls_.push_back("destroy"); };
        hooks.exitProcess = [this](int code) { calls_.push_back("exit " + std::to_string(code)); };
        handler_ = std::make_unique<TUsbDownload>(info_, std::move(hooks));
        // Only this test's volumes count: other tests may mount their own meanwhile.
        watcher_ = std::make_unique<TVolumeWatcher>([this](const TVolumeNotice& n) {
            if (n.rootFolder != root_) return;
            ++notices_;
            handler_->DeviceChange(n.event, n.rootFolder);
        });
        ASSERT_TRUE(watcher_->Start()) << watcher_->LastError();
    }
    void TearDown() override {
        watcher_.reset();
        if (!fwFolder_.empty()) fs::remove_all(fwFolder_);
    }

    // Mounts the volume and runs messages until its arrival has been handled.
    void Arrive(FatVolume& volume) {
        int before = notices_;
        volume.Mount();
        ASSERT_TRUE(PumpUntil([&] { return notices_ > before; }));
    }

    // Creates the test's volume; the handler hears of it only.
    std::unique_ptr<FatVolume> MakeVolume(const FatVolume::Options& options) {
        auto volume = std::make_unique<FatVolume>(options);
        root_ = volume->Root();
        return volume;
    }

    std::string root_;
    fs::path fwFolder_;
    std::string firmware_;
    std::string fileName_;
    std::vector<std::string> calls_;
    int notices_ = 0;
    TDiskInfo info_;
    std::unique_ptr<TUsbDownload> handler_;
    std::unique_ptr<TVolumeWatcher> watcher_;
};

TEST_F(UsbModeOnVolumes, Fat16WithDownGetsTheFileAndTheCommand) {
    auto made = MakeVolume(Fat(16));
    FatVolume& volume = *made;
    volume.Mount();
    fs::create_directories(fs::path(volume.Root()) / "Down");
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return !calls_.empty(); }));  // that removal
    calls_.clear();

    Arrive(volume);
    EXPECT_EQ(ReadFile(fs::path(volume.Root()) / "Down" / "KV7000.bin"), firmware_);
    EXPECT_EQ(calls_, std::vector<std::string>{"cmd 209 E"});
    calls_.clear();

    // The file is on the image itself, not only in a cache: it survives a fresh mount.
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return !calls_.empty(); }));
    EXPECT_EQ(calls_, (std::vector<std::string>{"destroy", "exit 1"}));
    calls_.clear();
    fileName_ = (fwFolder_ / "missing.bin").string();  // also sends the command
    Arrive(volume);
    EXPECT_EQ(ReadFile(fs::path(volume.Root()) / "Down" / "KV7000.bin"), firmware_);
    EXPECT_EQ(calls_, std::vector<std::string>{"cmd 209 E"});
}

TEST_F(UsbModeOnVolumes, Fat32WithDownGetsNothing) {
    auto made = MakeVolume(Fat(32, 64 * 1024));
    FatVolume& volume = *made;
    volume.Mount();
    fs::create_directories(fs::path(volume.Root()) / "Down");
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return !calls_.empty(); }));
    calls_.clear();

    Arrive(volume);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(Listing(volume.Root()), std::vector<std::string>{"Down:dir"});
}

TEST_F(UsbModeOnVolumes, Fat16WithoutDownIsNotTouched) {
    auto made = MakeVolume(Fat(16));
    FatVolume& volume = *made;
    volume.Mount();
    fs::create_directories(fs::path(volume.Root()) / "Up");
    std::ofstream(fs::path(volume.Root()) / "readme.txt") << "terminal";
    std::vector<std::string> before = Listing(volume.Root());
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return !calls_.empty(); }));
    calls_.clear();

    Arrive(volume);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(Listing(volume.Root()), before);
}

TEST_F(UsbModeOnVolumes, FullVolumeKeepsNoHalfFileButTheTerminalIsStillTold) {
    auto made = MakeVolume(Fat(12, 1024));
    FatVolume& volume = *made;
    volume.Mount();
    fs::create_directories(fs::path(volume.Root()) / "Down");
    ASSERT_TRUE(volume.Unmount());
    ASSERT_TRUE(PumpUntil([&] { return !calls_.empty(); }));
    calls_.clear();

    firmware_.assign(3 * 1024 * 1024, 'F');  // three times the volume
    std::ofstream(fileName_, std::ios::binary | std::ios::trunc) << firmware_;
    Arrive(volume);
    EXPECT_EQ(calls_, std::vector<std::string>{"cmd 209 E"});
    EXPECT_FALSE(fs::exists(fs::path(volume.Root()) / "Down" / "KV7000.bin"));
}

}  // namespace
}  // namespace kavo
