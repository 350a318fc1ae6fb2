#include "serial/port_map.h"

#include <gtest/gtest.h>

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
}

TEST(PortMap, EnvironmentMapsNumbersToPaths) {
    setenv("KAVODOWN_PORTS", "4=/tmp/four", 1);
    EXPECT_EQ(ComPortPath(4), "/tmp/four");
    EXPECT_EQ(ComPortPath(5), "");
    unsetenv("KAVODOWN_PORTS");
    EXPECT_EQ(ComPortPath(4), "");
}

}  // namespace
}  // namespace kavo
