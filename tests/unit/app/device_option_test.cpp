#include "app/device_option.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

TEST(DeviceOption, DeviceKeepsItsMappedNumberElseGetsTheHighestFreeOne) {
    struct Row {
        std::vector<PortEntry> ports;
        std::string path;
        int number;
    };
    const Row rows[] = {
        {{}, "/dev/ttyUSB0", kMaxComNumber},
        {{{11, "/dev/ttyUSB0", ""}}, "/dev/ttyUSB0", 11},
        {{{11, "/dev/ttyUSB0", ""}, {kMaxComNumber, "/x", ""}}, "/dev/ttyUSB1", kMaxComNumber - 1},
    };
    for (const Row& row : rows) EXPECT_EQ(DevicePortNumber(row.path, row.ports), row.number) << row.path;
    std::vector<PortEntry> all;
    for (int n = 1; n <= kMaxComNumber; ++n) all.push_back({n, "/p" + std::to_string(n), ""});
    EXPECT_EQ(DevicePortNumber("/new", all), 0);
}

}  // namespace
}  // namespace kavo
