// kavodown.exe in USB storage mode under Wine, with the window and with --batch: a terminal
// simulator presents its FAT16 volume (fusefat) and listens on the line; the test gives the volume
// a drive letter in the Wine prefix, announces it to all windows as the system does
// (kavo-window-driver.exe broadcasts WM_DEVICECHANGE), and checks that the firmware reached the
// volume's Down folder byte for byte, that the terminal got 0xD1 "E", and that the removal's
// broadcast ends the program with 1.
//
// Wine names a drive's file system from the boot sector of the block device that the prefix's
// "<letter>::" link names, read when its mount manager starts: the image goes behind a read-only
// loop device, and Wine is restarted once the drive is in place. Without FUSE or a free loop
// device the cases skip.
#include "fat_skip.h"
#include "platform/exit_codes.h"
#include "support/read_file.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kavo::test {
namespace {

using namespace std::chrono_literals;

class WineUsb : public WineSession {
protected:
    void SetUp() override {
        WineSession::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        KAVO_SKIP_WITHOUT_FAT();
        if (Environment("DISPLAY").empty()) GTEST_SKIP() << "no display (run under xvfb-run)";
        driver_ = (fs::path(exe_).parent_path() / "kavo-window-driver.exe").string();
        ASSERT_TRUE(fs::exists(driver_)) << driver_;
    }
    void TearDown() override {
        for (const fs::path& link : links_) ::unlink(link.c_str());
        if (!letter_.empty()) {
            RunWine({"reg", "delete", kDrives, "/v", letter_ + ":", "/f"});
        }
        if (terminal_) {
            terminal_->Signal(SIGTERM);  // it unmounts its volume as it ends
            terminal_->Wait(30s);
        }
        if (!loop_.empty()) Tool({"losetup", "-d", loop_});
        WineSession::TearDown();
    }

    // The terminal simulator with its FAT16 volume, behind drive letter_ of the Wine prefix.
    void StartTerminalWithVolume() {
        StartLine();
        const std::string image = dir_ + "/terminal.img";
        const std::string volume = dir_ + "/volume";
        terminal_ = Start({kBin + "/termsim", dir_ + "/B", "--usb", "--fat", "16", "--image", image,
                           "--mount", volume, "--out", dir_ + "/out.bin", "--timeout-ms", "120000"},
                          ChildProcess::Output::Capture);
        ASSERT_FALSE(terminal_->WaitLine("termsim: ready", 30s).empty()) << "termsim did not start";
        auto [looped, device] = Tool({"losetup", "-f", "--show", "-r", image});
        if (looped != 0 || device.empty()) GTEST_SKIP() << "no free loop device for Wine to read the volume";
        loop_ = device.substr(0, device.find('\n'));
        const fs::path devices = fs::path(Environment("WINEPREFIX")) / "dosdevices";
        for (char c = 'k'; c <= 'y' && letter_.empty(); ++c) {
            const fs::path root = devices / (std::string(1, c) + ":");
            if (::symlink(volume.c_str(), root.c_str()) != 0) continue;
            links_.push_back(root);
            const fs::path device = devices / (std::string(1, c) + "::");
            ASSERT_EQ(::symlink(loop_.c_str(), device.c_str()), 0) << device;
            links_.push_back(device);
            letter_ = std::string(1, c);
        }
        ASSERT_FALSE(letter_.empty()) << "no free drive letter in the Wine prefix";
        // A stick is a removable drive; Wine takes its drives' types from this key.
        ASSERT_EQ(RunWine({"reg", "add", kDrives, "/v", letter_ + ":", "/t", "REG_SZ", "/d", "floppy", "/f"})
                      .first, 0);
        // Wine's mount manager reads its drives when it starts. Its helper processes outlive the
        // server's first client: none of them may hold a pipe of the test.
        for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
                 {"wineserver", "-k"}, {"wineserver", "-p"}, {"wine", "cmd", "/c", "exit"}}) {
            Start(step, ChildProcess::Output::Null)->Wait(120s);
        }
    }

    // A tool to its end with its standard output; standard error and input are not the test's.
    std::pair<int, std::string> Tool(const std::vector<std::string>& argv) {
        auto tool = Start(argv, ChildProcess::Output::Capture);
        std::string out = tool->ReadAll(60s);
        return {tool->Wait(30s).value_or(-1), out};
    }

    // kavo-window-driver.exe broadcasts the arrival or the removal of the drive.
    void Broadcast(const std::string& verb) {
        auto [code, out] = Tool({"wine", driver_, verb + ":" + letter_});
        ASSERT_EQ(code, 0) << "the " << verb << " broadcast failed " << out;
    }

    // Whether the process (Wine runs a program as the process it starts) has the line open.
    bool HasLineOpen(const ChildProcess& program) {
        std::error_code ec;
        const fs::path line = fs::canonical(dir_ + "/A", ec);
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(program.Pid()) + "/fd", ec)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == line) return true;
        }
        return false;
    }

    // The whole run: the program opens its port, the volume arrives, the firmware goes to it and
    // the terminal is told, the terminal takes it and leaves, and the removal ends the program.
    void DeliverAndRemove(const std::vector<std::string>& options) {
        StartTerminalWithVolume();
        if (IsSkipped() || HasFatalFailure()) return;
        std::vector<std::string> argv{"wine", exe_};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {Com(), WindowsPath(firmware_), "usb"});
        auto program = Start(argv, ChildProcess::Output::Null, ChildProcess::Output::Capture);
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!HasLineOpen(*program) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(HasLineOpen(*program)) << "kavodown.exe did not open COM" << Com();

        Broadcast("arrive");
        const std::string delivered = terminal_->WaitLine("termsim: usb-delivered", 60s);
        EXPECT_NE(delivered.find("firmware.bin"), std::string::npos) << delivered;
        EXPECT_EQ(terminal_->Wait(30s), 0);
        EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_))
            << "the file on the volume differs from the firmware";

        Broadcast("remove");
        EXPECT_EQ(program->Wait(60s).value_or(-1), kExitVolumeRemoved) << program->ReadAll(10s);
    }

    static constexpr const char* kDrives = "HKLM\\Software\\Wine\\Drives";
    std::string driver_, letter_, loop_;
    std::vector<fs::path> links_;
    std::unique_ptr<ChildProcess> terminal_;
};

TEST_F(WineUsb, BatchRunCopiesTellsTheTerminalAndEndsWithOneOnRemoval) {
    DeliverAndRemove({"--batch"});
}

TEST_F(WineUsb, MainWindowCopiesTellsTheTerminalAndEndsWithOneOnRemoval) {
    DeliverAndRemove({});
}

// The Windows program does not tell which USB device holds a volume: it says so instead of
// taking every volume as the terminal's.
TEST_F(WineUsb, SameUsbDeviceEndsWithTheUsageCode) {
    auto [code, err] = Run({"--batch", "--same-usb-device", "249", WindowsPath(firmware_), "usb"});
    EXPECT_EQ(code, kExitUsage);
    EXPECT_NE(err.find("--same-usb-device is not part of the Windows program"), std::string::npos) << err;
}

}  // namespace
}  // namespace kavo::test
