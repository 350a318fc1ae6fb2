// A unit's child as the station starts it and counts its end.
#include "platform/exit_codes.h"
#include "station/unit_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace kavo::station {
namespace {

const std::string kSha(64, 'a');

TEST(UnitProcess, TheEndCountsAsFlashedOnlyWithTheStationsImage) {
    struct Row {
        const char* what;
        int status;
        TUnitReport report;
        int flashedCode;
        int code;
        std::string line;
    };
    const Row rows[] = {
        {"flashed", W_EXITCODE(kExitOk, 0), {true, 0, "", kSha}, kExitOk, kExitOk, ""},
        {"USB mode: the volume went", W_EXITCODE(kExitVolumeRemoved, 0), {true, 1, "", kSha},
         kExitVolumeRemoved, kExitVolumeRemoved, ""},
        {"another image", W_EXITCODE(kExitOk, 0), {true, 0, "", std::string(64, 'b')}, kExitOk,
         kExitOtherError, "kavodown: the image sent (SHA-256 " + std::string(64, 'b') + ") is not the station's"},
        {"no end object", W_EXITCODE(kExitOk, 0), {}, kExitOk, kExitOtherError,
         "kavodown: the image sent (SHA-256 unknown) is not the station's"},
        {"failed", W_EXITCODE(kExitNoAnswer, 0), {true, 7, "kavodown: no answer", ""}, kExitOk,
         kExitNoAnswer, "kavodown: no answer"},
        {"failed without a word", W_EXITCODE(kExitPortBusy, 0), {}, kExitOk, kExitPortBusy, ""},
        {"USB mode: 0 is no success there", W_EXITCODE(kExitOk, 0), {true, 0, "kavodown: x", ""},
         kExitVolumeRemoved, kExitOk, "kavodown: x"},
        {"crashed", W_EXITCODE(0, SIGSEGV), {true, 0, "", kSha}, kExitOk, kExitOtherError,
         "kavodown: the slot's run crashed (signal " + std::to_string(SIGSEGV) + ")"},
    };
    for (const Row& row : rows) {
        const TUnitEnd end = UnitEndOf(row.status, row.report, row.flashedCode, kSha);
        EXPECT_EQ(end.code, row.code) << row.what;
        EXPECT_EQ(end.line, row.line) << row.what;
    }
}

TEST(UnitProcess, ChildGetsTheModeAfterTheFileAndASettingsFolderOfItsOwn) {
    TUnitLaunch launch{"/usr/bin/kavodown", "/dev/ttyUSB0", "/run/x/KV.bin", "/run/x/slot1", 30, false, false};
    EXPECT_EQ(UnitArguments(launch),
              (std::vector<std::string>{"/usr/bin/kavodown", "--batch", "--device", "/dev/ttyUSB0", "--progress",
                                        "json", "--silence-limit", "30", "/run/x/KV.bin"}));
    launch.ddd = launch.usb = true;
    const std::vector<std::string> usb = UnitArguments(launch);
    EXPECT_EQ(std::vector<std::string>(usb.end() - 4, usb.end()),
              (std::vector<std::string>{"--ddd", "--same-usb-device", "/run/x/KV.bin", "USB"}));

    char home[] = "HOME=/home/op", config[] = "KAVODOWN_CONFIG_DIR=/home/op/.config/kavodown",
         platform[] = "QT_QPA_PLATFORM=xcb";
    char* environment[] = {home, config, platform, nullptr};
    EXPECT_EQ(UnitEnvironment(environment, "/run/x/slot1"),
              (std::vector<std::string>{"HOME=/home/op", "KAVODOWN_CONFIG_DIR=/run/x/slot1",
                                        "QT_QPA_PLATFORM=offscreen"}));
}

}  // namespace
}  // namespace kavo::station
