// Finding the USB device of a serial port and of a volume in a sysfs tree laid out as the kernel
// lays it out: a composite terminal (serial interface 1.0, storage interface 1.1) on hub port 2.3,
// a USB stick on port 4, and a built-in disk.
#include "serial/usb_location.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kavo {
namespace {

namespace fs = std::filesystem;

class UsbLocation : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = sys_ / "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3";
        Device(terminal_, "1d6b", "0104", "KV100-0042");
        stick_ = sys_ / "devices/pci0000:00/0000:00:14.0/usb1/1-4";
        Device(stick_, "0781", "5567", "STICK-1");
        // The terminal's serial interface and its tty, and a by-path link to its node.
        Tty("ttyACM0", terminal_ / "1-2.3:1.0");
        // A built-in serial port: in sysfs, but on no USB device.
        Tty("ttyS0", sys_ / "devices/pnp0/00:04");
        // Block devices: the terminal's disk and partition, the stick's, the built-in disk's.
        Block("8:16", terminal_ / "1-2.3:1.1/host6/target6:0:0/6:0:0:0/block/sdb");
        Block("8:17", terminal_ / "1-2.3:1.1/host6/target6:0:0/6:0:0:0/block/sdb/sdb1");
        Block("8:33", stick_ / "1-4:1.0/host7/target7:0:0/7:0:0:0/block/sdc/sdc1");
        Block("259:1", sys_ / "devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1/nvme0n1p1");
    }

    void Device(const fs::path& at, const char* vendor, const char* product, const char* serial) {
        fs::create_directories(at);
        std::ofstream(at / "idVendor") << vendor << "\n";
        std::ofstream(at / "idProduct") << product << "\n";
        std::ofstream(at / "serial") << serial << "\n";
    }
    void Tty(const std::string& name, const fs::path& device) {
        fs::create_directories(device);
        fs::create_directories(sys_ / "class/tty" / name);
        fs::create_directory_symlink(device, sys_ / "class/tty" / name / "device");
        fs::create_directories(tmp_ / "dev");
        std::ofstream(tmp_ / "dev" / name) << "";
    }
    void Block(const std::string& number, const fs::path& folder) {
        fs::create_directories(folder);
        fs::create_directories(sys_ / "dev/block");
        fs::create_directory_symlink(folder, sys_ / "dev/block" / number);
    }
    test::TempDir tmp_{"kavo-usb-location"};
    const fs::path sys_ = tmp_ / "sys";
    fs::path terminal_, stick_;
};

TEST_F(UsbLocation, APortAndAVolumeOfOneTerminalShareTheirUsbDevice) {
    fs::create_directories(tmp_ / "dev/serial/by-path");
    fs::create_symlink(tmp_ / "dev/ttyACM0", tmp_ / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2.3:1.0");
    const std::string port =
        UsbDeviceOfPort((tmp_ / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2.3:1.0").string(), sys_.string());
    EXPECT_EQ(port, fs::canonical(terminal_).string());

    // The terminal's partition is on the terminal.
    const TVolumePlace kernel = UsbPlaceOfBlockDevice(8, 17, sys_.string());
    EXPECT_TRUE(kernel.known);
    EXPECT_EQ(kernel.usbDevice, port);
    // A whole disk without partitions counts the same.
    EXPECT_EQ(UsbPlaceOfBlockDevice(8, 16, sys_.string()).usbDevice, port);

    // The stick is another USB device; the built-in disk is on none, and sysfs knows both.
    const TVolumePlace stick = UsbPlaceOfBlockDevice(8, 33, sys_.string());
    EXPECT_TRUE(stick.known);
    EXPECT_EQ(stick.usbDevice, fs::canonical(stick_).string());
    EXPECT_NE(stick.usbDevice, port);
    const TVolumePlace fixed = UsbPlaceOfBlockDevice(259, 1, sys_.string());
    EXPECT_TRUE(fixed.known);
    EXPECT_EQ(fixed.usbDevice, "");

    // The port's identity is its USB device's, through the link as through the node.
    for (const TUsbIdentity& identity :
         {UsbIdentityOfDevice(port),
          UsbIdentityOfPort((tmp_ / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2.3:1.0").string(), sys_.string()),
          UsbIdentityOfPort((tmp_ / "dev/ttyACM0").string(), sys_.string())}) {
        EXPECT_EQ(identity.vendor, "1d6b");
        EXPECT_EQ(identity.product, "0104");
        EXPECT_EQ(identity.serial, "KV100-0042");
    }
    EXPECT_EQ(UsbIdentityOfDevice("").serial, "");
    const TUsbIdentity none = UsbIdentityOfPort((tmp_ / "dev/ttyS0").string(), sys_.string());
    EXPECT_TRUE(none.vendor.empty() && none.product.empty() && none.serial.empty());
}

TEST_F(UsbLocation, WhatSysfsDoesNotPlaceIsToldApart) {
    // A built-in port, a pty and a missing path are on no USB device.
    EXPECT_EQ(UsbDeviceOfPort((tmp_ / "dev/ttyS0").string(), sys_.string()), "");
    EXPECT_EQ(UsbDeviceOfPort("/dev/ptmx", sys_.string()), "");
    EXPECT_EQ(UsbDeviceOfPort((tmp_ / "dev/ttyUSB9").string(), sys_.string()), "");
    // An anonymous number (a FUSE image mount's) is unknown to sysfs: unknown, not "none".
    const TVolumePlace image = UsbPlaceOfBlockDevice(0, 77, sys_.string());
    EXPECT_FALSE(image.known);
    EXPECT_EQ(image.usbDevice, "");
    // Nor does a sysfs root that is not there know anything.
    EXPECT_FALSE(UsbPlaceOfBlockDevice(8, 17, (tmp_ / "none").string()).known);
}

TEST(UsbLocationRoot, ComesFromTheEnvironmentOnlyWhenItNamesAFolder) {
    test::TempDir tmp("kavo-sysfs-root");
    ::setenv("KAVODOWN_SYSFS", tmp.Path().c_str(), 1);
    EXPECT_EQ(SysfsRoot(), tmp.Path().string());
    ::setenv("KAVODOWN_SYSFS", (tmp.Path() / "missing").c_str(), 1);
    EXPECT_EQ(SysfsRoot(), "/sys");
    ::setenv("KAVODOWN_SYSFS", "relative/folder", 1);
    EXPECT_EQ(SysfsRoot(), "/sys");
    ::unsetenv("KAVODOWN_SYSFS");
    EXPECT_EQ(SysfsRoot(), "/sys");
}

}  // namespace
}  // namespace kavo
