#include "serial/port_map.h"

#include <gtest/gtest.h>

#include <map>

namespace kavo {
namespace {

TEST(PortMap, PortsVariablePairsAreParsedAndBadOnesSkipped) {
    auto entries = ParsePortsVariable("5=/tmp/x/A,bad,0=/dev/null,257=/dev/x,7=,3=/dev/ttyS0,5=/tmp/y");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].number, 3);
    EXPECT_EQ(entries[0].path, "/dev/ttyS0");
    EXPECT_EQ(entries[1].number, 5);
    EXPECT_EQ(entries[1].path, "/tmp/y");  // the later pair for a number wins
    EXPECT_TRUE(ParsePortsVariable("").empty());
}

TEST(PortMap, DeviceNamesGiveTheirNumber) {
    EXPECT_EQ(ComNumberFromDeviceName("\\\\.\\COM5"), 5);
    EXPECT_EQ(ComNumberFromDeviceName("com12"), 12);
    EXPECT_EQ(ComNumberFromDeviceName("COM256"), 256);
    EXPECT_EQ(ComNumberFromDeviceName("COM257"), 0);
    EXPECT_EQ(ComNumberFromDeviceName("COM"), 0);
    EXPECT_EQ(ComNumberFromDeviceName("COMx"), 0);
    EXPECT_EQ(ComNumberFromDeviceName("LPT1"), 0);
    for (const char* name : {"COM0", "COM1a", "COM-1", "\\\\?\\COM1", "\\\\.\\", "", "COM99999999999999999999"}) {
        EXPECT_EQ(ComNumberFromDeviceName(name), 0) << name;
    }
}

TEST(PortMap, EnvironmentMapsNumbersToPaths) {
    setenv("KAVODOWN_PORTS", "4=/tmp/four", 1);
    unsetenv("KAVODOWN_CONFIG_DIR");
    EXPECT_EQ(ComPortPath(4), "/tmp/four");
    EXPECT_EQ(ComPortPath(250), "");
    unsetenv("KAVODOWN_PORTS");
    EXPECT_EQ(ComPortPath(4), "");
}

}  // namespace
}  // namespace kavo

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

// A fake /sys/class/tty and /dev for the default rule.
class DefaultRuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_sys_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        tty_ = root_ + "/class/tty";
        dev_ = root_ + "/dev";
        fs::create_directories(tty_);
        fs::create_directories(dev_ + "/serial/by-id");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty; `device` false for consoles and the like, `type` for ttyS ports.
    void AddTty(const std::string& name, bool device, const std::string& type = "") {
        fs::create_directories(tty_ + "/" + name);
        if (device) {
            fs::create_directories(root_ + "/devices/" + name);
            fs::create_directory_symlink(root_ + "/devices/" + name, tty_ + "/" + name + "/device");
        }
        if (!type.empty()) std::ofstream(tty_ + "/" + name + "/type") << type << "\n";
    }
    // A USB serial adapter: its tty device sits below the USB device that has the ids.
    void AddUsbTty(const std::string& name, const std::string& vendor, const std::string& product,
                   const std::string& productName) {
        const std::string usb = root_ + "/devices/usb1/1-1";
        fs::create_directories(usb + "/1-1:1.0/" + name);
        std::ofstream(usb + "/idVendor") << vendor << "\n";
        std::ofstream(usb + "/idProduct") << product << "\n";
        std::ofstream(usb + "/product") << productName << "\n";
        fs::create_directories(tty_ + "/" + name);
        fs::create_directory_symlink(usb + "/1-1:1.0/" + name, tty_ + "/" + name + "/device");
    }

    std::string root_, tty_, dev_;
};

TEST_F(DefaultRuleTest, BlocksKeepCommonAdaptersWithinFifty) {
    AddTty("console", false);
    AddTty("tty0", false);
    AddTty("ptmx", false);
    AddTty("ttyS0", true, "4");
    AddTty("ttyS1", true, "0");  // a placeholder without a UART
    AddTty("ttyS3", true, "4");
    AddTty("ttyAMA0", true);
    AddUsbTty("ttyUSB0", "0403", "6001", "FT232R USB UART");
    AddTty("ttyUSB2", true);
    AddTty("ttyACM0", true);
    AddTty("ttyACM25", true);  // beyond its block
    fs::create_symlink("../../ttyUSB0", dev_ + "/serial/by-id/usb-FTDI_FT232R-if00-port0");

    auto ports = DefaultSerialPorts(tty_, dev_);
    std::map<int, std::string> byNumber;
    for (const PortEntry& e : ports) byNumber[e.number] = e.path;
    EXPECT_EQ(byNumber, (std::map<int, std::string>{{1, dev_ + "/ttyS0"},
                                                    {2, dev_ + "/ttyAMA0"},
                                                    {4, dev_ + "/ttyS3"},
                                                    {11, dev_ + "/ttyUSB0"},
                                                    {13, dev_ + "/ttyUSB2"},
                                                    {31, dev_ + "/ttyACM0"},
                                                    {51, dev_ + "/ttyACM25"}}));
    for (const PortEntry& e : ports) {
        if (e.number == 11) {
            EXPECT_EQ(e.description, "usb-FTDI_FT232R-if00-port0, 0403:6001 FT232R USB UART");
        }
    }
}

TEST_F(DefaultRuleTest, MissingFolderGivesNoPorts) {
    EXPECT_TRUE(DefaultSerialPorts(root_ + "/none", dev_).empty());
}

TEST(PortSources, PortsFileAndMergeOrder) {
    char pattern[] = "/tmp/kavo_ports_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string ini = std::string(pattern) + "/ports.ini";
    std::ofstream(ini) << "[ports]\ncom2=/dev/serial/by-id/usb-x\nCOM9=/tmp/nine\nLPT1=/dev/lp0\n"
                          "COM300=/dev/x\nCOM4=\n[OTHER]\nCOM5=/tmp/five\n";
    auto file = ReadPortsFile(ini);
    ASSERT_EQ(file.size(), 2u);
    EXPECT_EQ(file[0].number, 2);
    EXPECT_EQ(file[0].path, "/dev/serial/by-id/usb-x");
    EXPECT_EQ(file[1].number, 9);

    std::vector<PortEntry> variable{{9, "/tmp/var9", ""}};
    std::vector<PortEntry> devices{{1, "/tmp/dev1", ""}, {2, "/tmp/dev2", ""}, {11, "/tmp/var9", ""}};
    auto merged = MergePortSources(variable, file, devices);
    std::map<int, std::string> byNumber;
    for (const PortEntry& e : merged) byNumber[e.number] = e.path;
    // The variable beats the file, the file beats the devices, and a device already mapped
    // explicitly is not listed again under its default number.
    EXPECT_EQ(byNumber, (std::map<int, std::string>{
                            {1, "/tmp/dev1"}, {2, "/dev/serial/by-id/usb-x"}, {9, "/tmp/var9"}}));
    fs::remove_all(pattern);
}

TEST(PortSources, SettingsFolderPortsFileIsUsed) {
    char pattern[] = "/tmp/kavo_cfgports_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    std::ofstream(std::string(pattern) + "/ports.ini") << "[PORTS]\nCOM200=/tmp/two-hundred\n";
    setenv("KAVODOWN_CONFIG_DIR", pattern, 1);
    unsetenv("KAVODOWN_PORTS");
    EXPECT_EQ(ComPortPath(200), "/tmp/two-hundred");
    setenv("KAVODOWN_PORTS", "200=/tmp/env", 1);
    EXPECT_EQ(ComPortPath(200), "/tmp/env");
    unsetenv("KAVODOWN_PORTS");
    unsetenv("KAVODOWN_CONFIG_DIR");
    fs::remove_all(pattern);
}

}  // namespace
}  // namespace kavo
