#include "app/command_line.h"

#include "app/device_option.h"
#include "platform/exit_codes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

TCommandLineResult Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLine, OptionsNeverShiftThePositionalArguments) {
    const std::vector<std::vector<std::string>> orders = {
        {"--batch", "--progress", "3", "/fw.bin", "usb"},
        {"3", "--batch", "/fw.bin", "--progress", "usb"},
        {"3", "/fw.bin", "usb", "--progress", "--batch"},
        {"--trace", "/tmp", "3", "--silence-limit=5", "/fw.bin", "usb", "--batch", "--progress"},
    };
    for (const auto& order : orders) {
        TCommandLineResult result = Parse(order);
        ASSERT_EQ(result.error, "") << order[0];
        const TCommandLine& line = result.commandLine;
        EXPECT_EQ(line.positional, (std::vector<std::string>{"3", "/fw.bin", "usb"})) << order[0];
        EXPECT_TRUE(line.batch);
        EXPECT_TRUE(line.progress);
    }
}

TEST(CommandLine, WithoutOptionsEverythingIsPositionalAndNothingIsSwitchedOn) {
    TCommandLineResult result = Parse({"COM3", "-h", "/a b/fw.bin", "x", "y"});
    ASSERT_EQ(result.error, "");
    const TCommandLine& line = result.commandLine;
    // Without --batch the main window takes the arguments as they are (a bad port text included).
    EXPECT_EQ(line.positional, (std::vector<std::string>{"COM3", "-h", "/a b/fw.bin", "x", "y"}));
    EXPECT_FALSE(line.batch || line.ddd || line.progress || line.help || line.listPorts);
    EXPECT_TRUE(line.traceDir.empty() && line.logDir.empty());
    EXPECT_EQ(line.SilenceLimitSeconds(), 0u);
    EXPECT_TRUE(Parse({}).commandLine.positional.empty());
}

TEST(CommandLine, ValuesFollowTheOptionOrItsEqualsSign) {
    TCommandLineResult result =
        Parse({"--trace", "/t", "--log=/l", "--silence-limit", "0", "--ddd", "5", "/f"});
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.commandLine.traceDir, "/t");
    EXPECT_EQ(result.commandLine.logDir, "/l");
    EXPECT_TRUE(result.commandLine.ddd);
    ASSERT_TRUE(result.commandLine.silenceLimitSeconds.has_value());
    EXPECT_EQ(result.commandLine.SilenceLimitSeconds(), 0u);  // 0 switches the limit off
    // A value that looks like a positional argument belongs to the option.
    EXPECT_EQ(Parse({"--trace", "3", "4"}).commandLine.positional,
              (std::vector<std::string>{"4"}));
}

TEST(CommandLine, SilenceLimitDefaultsToAMinuteOnlyInBatchRuns) {
    EXPECT_EQ(Parse({"--batch", "3", "/f"}).commandLine.SilenceLimitSeconds(),
              kBatchSilenceLimitSeconds);
    EXPECT_EQ(Parse({"--batch", "--silence-limit", "7", "3", "/f"}).commandLine.SilenceLimitSeconds(),
              7u);
    EXPECT_EQ(Parse({"--silence-limit=86400", "3", "/f"}).commandLine.SilenceLimitSeconds(), 86400u);
    EXPECT_EQ(Parse({"3", "/f"}).commandLine.SilenceLimitSeconds(), 0u);
}

TEST(CommandLine, BadOptionsAndValuesAreOneLineErrors) {
    struct Row {
        std::vector<std::string> arguments;
        std::string errorPart;
    };
    const Row rows[] = {
        {{"--no-such-option"}, "unknown option --no-such-option"},
        {{"--batch=yes", "3", "/f"}, "--batch takes no value"},
        {{"3", "/f", "--trace"}, "--trace needs a folder"},
        {{"--log="}, "--log needs a folder"},
        {{"--silence-limit"}, "--silence-limit needs a number of seconds"},
        {{"--silence-limit", "-1"}, "not '-1'"},
        {{"--silence-limit", "1.5"}, "not '1.5'"},
        {{"--silence-limit", "86401"}, "from 0 to 86400"},
        {{"--silence-limit", "99999999999"}, "not '99999999999'"},
        {{"--silence-limit=", "3"}, "not ''"},
        {{"-", "--"}, "unknown option --"},
        {{"--device"}, "--device needs a device path"},
        {{"--device="}, "--device needs a device path"},
        {{"--progress=xml"}, "--progress takes text or json, not 'xml'"},
        {{"--progress="}, "--progress takes text or json, not ''"},
    };
    for (const Row& row : rows) {
        TCommandLineResult result = Parse(row.arguments);
        EXPECT_NE(result.error.find(row.errorPart), std::string::npos)
            << row.arguments[0] << ": " << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos);
    }
}

TEST(CommandLine, BatchNeedsAPortNumberAndAFile) {
    EXPECT_NE(Parse({"--batch"}).error.find("--batch needs PORT and FILE"), std::string::npos);
    EXPECT_NE(Parse({"--batch", "3"}).error.find("--batch needs PORT and FILE"), std::string::npos);
    // A port text that the window could not take would stop its start-up silently.
    for (const char* port : {"COM3", "", "3x", "70000", "-1", "0x10"}) {
        EXPECT_NE(Parse({"--batch", port, "/f"}).error.find("PORT must be a port number"),
                  std::string::npos)
            << port;
    }
    // What the window reads as a number passes; 0 (no port) is left to the port's own error.
    for (const char* port : {"3", "0", "+7", " 12", "65535"}) {
        EXPECT_EQ(Parse({"--batch", port, "/f"}).error, "") << port;
    }
    // Asking for help or the port list needs no port.
    EXPECT_EQ(Parse({"--batch", "--help"}).error, "");
    EXPECT_EQ(Parse({"--batch", "--list-ports"}).error, "");
    EXPECT_EQ(Parse({"--batch", "--version"}).error, "");
}

TEST(CommandLine, OutputFoldersMustBeWritableFolders) {
    char pattern[] = "/tmp/kavo_cl_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;

    TCommandLine line;
    line.traceDir = dir + "/";
    line.logDir = dir;
    EXPECT_EQ(CheckOutputFolders(line), "");
    EXPECT_EQ(line.traceDir, dir);  // the trailing separator goes

    line.logDir = dir + "/missing";
    EXPECT_NE(CheckOutputFolders(line).find("--log: " + dir + "/missing is not a folder"),
              std::string::npos);

    std::ofstream(dir + "/file") << "x";
    line.logDir = dir + "/file";
    EXPECT_NE(CheckOutputFolders(line).find("is not a folder"), std::string::npos);

    // Long folders are fine up to the system's limit for the file's path.
    line.logDir = dir;
    while (line.logDir.size() < 4000) line.logDir += "/" + std::string(200, 'd');
    fs::create_directories(line.logDir);
    EXPECT_EQ(CheckOutputFolders(line), "");
    // A folder the system still takes, but with no room left for "/TEVO.LOG" in its path.
    line.logDir += "/" + std::string(4090 - line.logDir.size() - 1, 'e');
    fs::create_directories(line.logDir);
    EXPECT_NE(CheckOutputFolders(line).find("longer than 4095 characters"), std::string::npos);

    if (::geteuid() != 0) {  // root writes anywhere
        fs::create_directory(dir + "/locked");
        ::chmod((dir + "/locked").c_str(), 0500);
        line.logDir = dir + "/locked";
        EXPECT_NE(CheckOutputFolders(line).find("is not writable"), std::string::npos);
        ::chmod((dir + "/locked").c_str(), 0700);
    }

    // A relative folder becomes absolute.
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    TCommandLine relative;
    relative.traceDir = ".";
    EXPECT_EQ(CheckOutputFolders(relative), "");
    EXPECT_EQ(relative.traceDir, dir);
    fs::current_path(previous);
    fs::remove_all(dir);
}

TEST(CommandLine, ProgressFormatIsAWordOfItsOwnOrAfterTheEqualsSign) {
    struct Row {
        std::vector<std::string> arguments;
        bool json;
        std::vector<std::string> positional;
    };
    const Row rows[] = {
        {{"--progress", "3", "/f"}, false, {"3", "/f"}},
        {{"--progress", "json", "3", "/f"}, true, {"3", "/f"}},
        {{"--progress=json", "3", "/f"}, true, {"3", "/f"}},
        {{"--progress", "text", "3", "/f"}, false, {"3", "/f"}},
        // Only the two words are taken as the format; anything else stays positional.
        {{"3", "--progress", "/json"}, false, {"3", "/json"}},
    };
    for (const Row& row : rows) {
        TCommandLineResult result = Parse(row.arguments);
        ASSERT_EQ(result.error, "") << row.arguments[1];
        EXPECT_TRUE(result.commandLine.progress);
        EXPECT_EQ(result.commandLine.progressJson, row.json) << row.arguments[1];
        EXPECT_EQ(result.commandLine.positional, row.positional) << row.arguments[1];
    }
}

TEST(CommandLine, DeviceTakesThePlaceOfThePortNumber) {
    TCommandLineResult result = Parse({"--batch", "--device", "/dev/ttyUSB0", "/fw.bin"});
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.commandLine.device, "/dev/ttyUSB0");
    EXPECT_EQ(result.commandLine.positional, (std::vector<std::string>{"/fw.bin"}));
    EXPECT_NE(Parse({"--batch", "--device=/dev/ttyUSB0"}).error.find("--batch --device needs FILE"),
              std::string::npos);
}

TEST(CommandLine, SameUsbDeviceBelongsToBatchRunsInUsbMode) {
    for (const std::vector<std::string>& good :
         {std::vector<std::string>{"--batch", "--same-usb-device", "3", "/fw.bin", "usb"},
          std::vector<std::string>{"--batch", "--device", "/dev/ttyACM0", "/fw.bin", "USB",
                                   "--same-usb-device"}}) {
        TCommandLineResult result = Parse(good);
        EXPECT_EQ(result.error, "");
        EXPECT_TRUE(result.commandLine.sameUsbDevice);
    }
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--batch", "--same-usb-device", "3", "/fw.bin"},
          std::vector<std::string>{"--same-usb-device", "3", "/fw.bin", "USB"},
          // With --device the second positional argument is MODE; "USB.bin" as FILE is none.
          std::vector<std::string>{"--batch", "--device", "/dev/ttyACM0", "/fw/USB.bin",
                                   "--same-usb-device"}}) {
        EXPECT_NE(Parse(bad).error.find("--same-usb-device needs --batch and the USB storage mode"),
                  std::string::npos)
            << bad.size();
    }
    EXPECT_NE(Parse({"--batch", "--same-usb-device=yes", "3", "/fw.bin", "USB"}).error.find("takes no value"),
              std::string::npos);
}

TEST(CommandLine, HelpListsEveryOptionAndExitCode) {
    const std::string help = UsageText();
    for (const char* option : {"--batch", "--ddd", "--progress", "--silence-limit", "--trace",
                               "--log", "--list-ports", "--help", "--version", "--device",
                               "--progress json"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    for (int code : {kExitOk, kExitVolumeRemoved, kExitTransferFailed, kExitFileMissing,
                     kExitPortMissing, kExitPortBusy, kExitPermissionDenied, kExitNoAnswer,
                     kExitDeviceLost, kExitOtherError, kExitUsage}) {
        const std::string number = std::to_string(code);
        EXPECT_NE(help.find("\n" + std::string(3 - number.size(), ' ') + number + "  "),
                  std::string::npos)
            << code;
    }
    EXPECT_EQ(help.back(), '\n');
}

}  // namespace
}  // namespace kavo
