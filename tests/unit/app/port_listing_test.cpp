// The port listing: the device's condition, the line's marks, and what sysfs tells of a device
// that an explicit entry names.
#include "app/port_listing.h"

#include "pty_pair.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(PortListing, ConditionsOfTheDevices) {
    sim::PtyPair pty;
    EXPECT_EQ(ProbePort(pty.DevicePath()), pcFree);
    EXPECT_EQ(ProbePort("/no/such/device"), pcMissing);
    EXPECT_EQ(ProbePort("/dev/null"), pcNotSerial);
    // Probing leaves the device free for the next program.
    EXPECT_EQ(ProbePort(pty.DevicePath()), pcFree);

    const PortEntry entry{3, "/dev/ttyUSB0", "usb-FTDI_A1-if00-port0, 0403:6001 FTDI FT232R"};
    EXPECT_EQ(PortListingLine(entry, pcFree, {}),
              "COM3  /dev/ttyUSB0  usb-FTDI_A1-if00-port0, 0403:6001 FTDI FT232R");
    EXPECT_EQ(PortListingLine(entry, pcBusy, {"41 (minicom)", "42 (screen)"}),
              "COM3  /dev/ttyUSB0  usb-FTDI_A1-if00-port0, 0403:6001 FTDI FT232R  "
              "[busy: pid 41 (minicom), pid 42 (screen)]");
    EXPECT_TRUE(Has(PortListingLine(entry, pcBusy, {}), "  [busy]"));
    EXPECT_TRUE(Has(PortListingLine(entry, pcNoPermission, {}), "  [no permission]"));
    EXPECT_TRUE(Has(PortListingLine(entry, pcMissing, {}), "  [no device]"));
}

TEST(PortListing, ListsTheMappedPortsWithTheirConditions) {
    sim::PtyPair pty;
    ::setenv("KAVODOWN_PORTS", ("3=" + pty.DevicePath() + ",4=/no/such/device").c_str(), 1);
    const std::string listing = PortListing();
    EXPECT_TRUE(Has(listing, "COM3  " + pty.DevicePath() + "  KAVODOWN_PORTS\n")) << listing;
    EXPECT_TRUE(Has(listing, "COM4  /no/such/device  KAVODOWN_PORTS  [no device]\n")) << listing;
    ::unsetenv("KAVODOWN_PORTS");
}

TEST(PortListing, ExplicitEntriesAreDescribedByTheirDevice) {
    char pattern[] = "/tmp/kavo_listing_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern, tty = root + "/class/tty", dev = root + "/dev";
    // A USB adapter ttyUSB0 below the USB device with its ids, and its by-id link.
    const std::string usb = root + "/devices/usb1/1-1";
    fs::create_directories(usb + "/1-1:1.0/ttyUSB0");
    std::ofstream(usb + "/idVendor") << "0403\n";
    std::ofstream(usb + "/idProduct") << "6001\n";
    std::ofstream(usb + "/manufacturer") << "FTDI\n";
    std::ofstream(usb + "/product") << "FT232R USB UART\n";
    fs::create_directories(tty + "/ttyUSB0");
    fs::create_directory_symlink(usb + "/1-1:1.0/ttyUSB0", tty + "/ttyUSB0/device");
    fs::create_directories(dev + "/serial/by-id");
    std::ofstream(dev + "/ttyUSB0") << "";
    fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0");

    const std::string expected = "usb-FTDI_FT232R_A1-if00-port0, 0403:6001 FTDI FT232R USB UART";
    EXPECT_EQ(DescribeDevice(dev + "/ttyUSB0", tty, dev), expected);
    // Named through its by-id link, as a ports.ini entry would.
    EXPECT_EQ(DescribeDevice(dev + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", tty, dev), expected);
    // Not a tty of the machine: nothing to tell.
    EXPECT_EQ(DescribeDevice(dev + "/ttyUSB7", tty, dev), "");
    EXPECT_EQ(DescribeDevice(root + "/elsewhere", tty, dev), "");
    // An adapter whose driver has a latency timer tells it.
    std::ofstream(usb + "/1-1:1.0/ttyUSB0/latency_timer") << "16\n";
    EXPECT_EQ(DescribeDevice(dev + "/ttyUSB0", tty, dev), expected + ", latency timer 16 ms");
    fs::remove_all(root);
}

}  // namespace
}  // namespace kavo
