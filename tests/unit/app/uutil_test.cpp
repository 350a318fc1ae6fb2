#include "app/uutil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// ---- Operating-system version code ----------------------------------------------------------

struct VersionRow {
    bool ok;
    int platform, major, minor, code;
};

TEST(OSVersionCode, TableRowByRow) {
    const VersionRow rows[] = {
        {false, 2, 5, 1, -1},                       // query failed
        {true, 0, 3, 1, 1},  {true, 0, 9, 9, 1},    // Win32s, any version
        {true, 1, 4, 0, 2},                         // 95 family, major not 5, minor 0
        {true, 1, 4, 10, 3}, {true, 1, 4, 90, 3},   // minor above 0
        {true, 1, 5, 0, 7},  {true, 1, 5, 3, 7},    // major 5
        {true, 2, 3, 51, 4},                        // NT 3.x
        {true, 2, 4, 0, 5},                         // NT 4
        {true, 2, 5, 0, 6},                         // 2000
        {true, 2, 5, 1, 8},                         // XP
        {true, 2, 6, 0, 9},  {true, 2, 6, 3, 9},    // major 6
        {true, 2, 5, 2, 0},  {true, 2, 10, 0, 0},   // any other combination
        {true, 2, 7, 0, 0},  {true, 3, 5, 1, 0},    // unknown platform id
        {true, kPlatformLinux, 6, 1, kOsCodeLinux},
    };
    for (const VersionRow& r : rows) {
        EXPECT_EQ(OSVersionCodeFor(r.ok, r.platform, r.major, r.minor), r.code)
            << r.ok << " " << r.platform << " " << r.major << "." << r.minor;
    }
    EXPECT_EQ(GetOSVersionCode(), kOsCodeLinux);
}

// ---- Port list methods ----------------------------------------------------------------------

TEST(ComPortList, BothMethodsListComThreeOnce) {
    PortRegistry registry = std::vector<PortRegistryValue>{{"COM3", "COM3"}};
    EXPECT_EQ(ComPortsByProbe(registry), std::vector<std::string>{"COM3"});
    EXPECT_EQ(ComPortsByEnumeration(registry), std::vector<std::string>{"COM3"});
}

TEST(ComPortList, ProbeFindsOnlyValuesNamedComN) {
    PortRegistry registry = std::vector<PortRegistryValue>{
        {"\\Device\\Serial0", "COM1"}, {"com7", "COM7"}, {"COM256", "COM256"},
        {"COM257", "COM257"}, {"COM2", std::string(51, 'C')}, {"COM4", std::string(50, 'C')}};
    // COM2's data needs 52 bytes with its terminating zero: it does not fit and counts as absent.
    EXPECT_EQ(ComPortsByProbe(registry), (std::vector<std::string>{"COM4", "COM7", "COM256"}));
    EXPECT_TRUE(ComPortsByProbe(std::nullopt).empty());
}

TEST(ComPortList, EnumerationTrimsAndKeepsPortsWithLongDevicePaths) {
    // Device paths of /dev/serial/by-id are 60 to 100 bytes long: each port stays, and so do
    // the ones after it.
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0";
    PortRegistry registry = std::vector<PortRegistryValue>{
        {"\\Device\\Serial0", " COM1\t"}, {"\\Device\\VCP0", B({'C', 'O', 'M', '9', 0, 'x'})},
        {byId, "COM5"}, {"/dev/" + std::string(100, 'n'), "COM11"}, {"\\Device\\Serial2", "COM6"}};
    EXPECT_EQ(ComPortsByEnumeration(registry),
              (std::vector<std::string>{"COM1", "COM9", "COM5", "COM11", "COM6"}));
    EXPECT_TRUE(ComPortsByEnumeration(std::nullopt).empty());
    // Data that does not fit the buffer is left out alone.
    PortRegistry longData = std::vector<PortRegistryValue>{{"a", std::string(51, 'C')}, {"b", "COM2"}};
    EXPECT_EQ(ComPortsByEnumeration(longData), std::vector<std::string>{"COM2"});
}

TEST(ComPortList, CodeSelectsTheMethodOrLeavesTheListAlone) {
    ::setenv("KAVODOWN_PORTS", "4=/dev/null,12=/tmp/none", 1);
    for (int code : {5, 6, 8, 9, kOsCodeLinux}) {
        std::vector<std::string> list{"old"};
        GetComPortList(code, list);
        EXPECT_NE(std::find(list.begin(), list.end(), "COM4"), list.end()) << code;
        EXPECT_NE(std::find(list.begin(), list.end(), "COM12"), list.end()) << code;
        EXPECT_EQ(std::find(list.begin(), list.end(), "old"), list.end()) << code;
    }
    for (int code : {2, 3, 7}) {  // names are device paths here, so probing finds nothing
        std::vector<std::string> list{"old"};
        GetComPortList(code, list);
        EXPECT_TRUE(list.empty()) << code;
    }
    for (int code : {-1, 0, 1, 4}) {  // e.g. NT 5.2: untouched
        std::vector<std::string> list{"old"};
        GetComPortList(code, list);
        EXPECT_EQ(list, std::vector<std::string>{"old"}) << code;
    }
    ::unsetenv("KAVODOWN_PORTS");
}

// ---- Files and settings ---------------------------------------------------------------------

TEST(Files, GetFileSizeOfMissingEmptyFolderAndFile) {
    char pattern[] = "/tmp/kavo_files_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    EXPECT_EQ(GetFileSize(dir + "/missing.bin"), -1);
    EXPECT_EQ(GetFileSize(dir), -1);  // a folder is no file
    EXPECT_EQ(GetFileSize(""), -1);
    std::ofstream(dir + "/empty.bin").close();
    EXPECT_EQ(GetFileSize(dir + "/empty.bin"), 0);
    std::ofstream(dir + "/fw.bin") << std::string(2500, 'x');
    EXPECT_EQ(GetFileSize(dir + "/fw.bin"), 2500);
    EXPECT_TRUE(FileExists(dir + "/fw.bin"));
    EXPECT_FALSE(FileExists(dir));
    // Only a regular file can be sent. A FIFO is no file, and asking for its size returns at once
    // instead of waiting for a writer.
    ASSERT_EQ(::mkfifo((dir + "/fw.fifo").c_str(), 0600), 0);
    EXPECT_FALSE(FileExists(dir + "/fw.fifo"));
    EXPECT_EQ(GetFileSize(dir + "/fw.fifo"), -1);
    EXPECT_FALSE(FileExists("/dev/zero"));
    EXPECT_EQ(GetFileSize("/dev/zero"), -1);
    fs::create_symlink(dir + "/fw.bin", dir + "/link.bin");
    EXPECT_TRUE(FileExists(dir + "/link.bin"));  // a link counts as the file it points to
    // A sparse file past 2 GiB is reported at the 32-bit limit, not wrapped to a negative size.
    {
        std::ofstream big(dir + "/big.bin");
        big.seekp(3LL * 1024 * 1024 * 1024);
        big << 'x';
    }
    EXPECT_EQ(GetFileSize(dir + "/big.bin"), INT32_MAX);
    fs::remove_all(dir);
}

TEST(Files, IniRoundTripAndSetupIniRule) {
    char pattern[] = "/tmp/kavo_ini_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ::setenv("KAVODOWN_CONFIG_DIR", dir.c_str(), 1);
    const std::string ini = dir + "/Option.ini";
    EXPECT_EQ(ReadIni("OPTION", "PORT", ini), "");
    EXPECT_TRUE(WriteIni("OPTION", "PORT", "3", ini));
    EXPECT_EQ(ReadIni("option", "port", ini), "3");
    // "setup.ini" means the file of that name in the settings folder; other names are used as is.
    EXPECT_TRUE(WriteIni("A", "B", "C", "setup.ini"));
    EXPECT_TRUE(fs::exists(dir + "/setup.ini"));
    EXPECT_EQ(ReadIni("A", "B", "setup.ini"), "C");
    EXPECT_EQ(IniFilePath("Setup.ini"), "Setup.ini");
    EXPECT_FALSE(WriteIni("OPTION", "FNAME", "a\nb", ini));
    EXPECT_EQ(ReadIni("OPTION", "FNAME", ini), "");
    ::unsetenv("KAVODOWN_CONFIG_DIR");
    fs::remove_all(dir);
}

// The lines of `text` that contain `part`.
std::size_t CountLines(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(part) != std::string::npos) ++count;
    }
    return count;
}

TEST(Files, AFolderThatCannotBeWrittenIsReportedOncePerReason) {
    char pattern[] = "/tmp/kavo_ini_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    // A folder that is not there cannot take the temporary file, whoever runs the test.
    const std::string ini = dir + "/gone/Option.ini";
    const std::string other = dir + "/also-gone/Option.ini";

    testing::internal::CaptureStderr();
    // The settings of the window go out as two keys; both fail for the same reason.
    EXPECT_FALSE(WriteIni("OPTION", "PORT", "3", ini));
    EXPECT_FALSE(WriteIni("OPTION", "FNAME", "/srv/fw.bin", ini));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(err, "kavodown: "), 1u) << err;
    EXPECT_EQ(CountLines(err, "cannot create a temporary file"), 1u) << err;
    EXPECT_EQ(CountLines(err, ini), 1u) << err;

    testing::internal::CaptureStderr();
    // Another file is another reason; after a write that worked, a failure is news again.
    EXPECT_FALSE(WriteIni("OPTION", "PORT", "3", other));
    fs::create_directories(dir + "/gone");
    EXPECT_TRUE(WriteIni("OPTION", "PORT", "3", ini));
    fs::remove_all(dir + "/gone");
    EXPECT_FALSE(WriteIni("OPTION", "PORT", "4", ini));
    EXPECT_FALSE(WriteIni("OPTION", "FNAME", "/srv/fw.bin", ini));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(err, "kavodown: "), 2u) << err;
    EXPECT_EQ(CountLines(err, other), 1u) << err;
    EXPECT_EQ(CountLines(err, ini), 1u) << err;
    fs::remove_all(dir);
}

TEST(Conversions, StrToIntAcceptsDecimalTextOnly) {
    EXPECT_EQ(StrToInt("3"), 3);
    EXPECT_EQ(StrToInt("  -12"), -12);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    for (const char* bad : {"", "abc", "COM3", "3 ", "1.5", "-", "2147483648", "99999999999999"}) {
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
    }
    try {
        StrToInt("COM3");
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'COM3' is not a valid integer value");
    }
    EXPECT_EQ(StrToIntDef("abc", 0), 0);
    EXPECT_EQ(StrToIntDef("-1", 0), -1);
}

// ---- Packets --------------------------------------------------------------------------------

TEST(Packets, MakePacketExamples) {
    EXPECT_EQ(BuildPacket(0xD1, "E"), B({0x02, 0xD1, 0x00, 0x01, 0x45, 0x97}));
    EXPECT_EQ(BuildPacket(0x10, ""), B({0x02, 0x10, 0x00, 0x00, 0x12}));
    std::string data(1234, 'a');
    std::string p = BuildPacket(0x33, data);
    ASSERT_EQ(p.size(), 1234u + 5);
    EXPECT_EQ(p.substr(2, 2), B({0x12, 0x34}));
    EXPECT_EQ(MakeLRC(p), 0);  // the LRC makes the XOR of the whole packet zero
    EXPECT_EQ(BuildPacket(1, std::string(9999, 'z')).substr(2, 2), B({0x99, 0x99}));
    // Ten thousand bytes would need a fifth digit in a four-digit field.
    EXPECT_THROW(BuildPacket(1, std::string(10000, 'z')), std::length_error);
}

TEST(Packets, BcdPackingAndUnpacking) {
    EXPECT_EQ(StrToBcd("0012"), B({0x00, 0x12}));
    EXPECT_EQ(StrToBcd("123"), B({0x01, 0x23}));
    EXPECT_EQ(StrToBcd("42"), B({0x42}));
    EXPECT_EQ(StrToBcd(""), "");
    EXPECT_EQ(StrToBcd("1"), B({0x01}));
    // No validity test: every byte takes part in 8-bit arithmetic.
    EXPECT_EQ(StrToBcd("A0"), B({0x10}));  // 'A' - '0' = 0x11, shifted in 8 bits gives 0x10
    EXPECT_EQ(StrToBcd("0A"), B({0x11}));
    EXPECT_EQ(BcdToInt(B({0x12, 0x34})), 1234);
    EXPECT_EQ(BcdToInt(B({0x00, 0x01})), 1);
    EXPECT_EQ(BcdToInt(""), 0);
    EXPECT_EQ(BcdToInt(B({0xFF, 0xFF})), 16665);  // nibbles above 9 are not rejected
    EXPECT_EQ(BcdToInt(B({0x0A})), 10);
}

TEST(Packets, LrcTokensPaddingAndRepeats) {
    EXPECT_EQ(MakeLRC(""), 0);
    EXPECT_EQ(MakeLRC(B({0x02, 0x10, 0x00, 0x01, 0x41})), 0x52);

    std::string text = "OK^ERR^";
    EXPECT_EQ(GetToken(text, '^'), "OK");
    EXPECT_EQ(text, "ERR^");
    EXPECT_EQ(GetToken(text, '^'), "ERR");
    EXPECT_EQ(text, "");
    EXPECT_EQ(GetToken(text, '^'), "");
    text = "plain";
    EXPECT_EQ(GetToken(text, '^'), "plain");
    EXPECT_EQ(text, "");
    text = "^x";
    EXPECT_EQ(GetToken(text, '^'), "");
    EXPECT_EQ(text, "x");

    EXPECT_EQ(PadLeft("123", 4, " "), " 123");
    EXPECT_EQ(PadLeft("12345", 3, "0"), "345");  // cut from the left
    EXPECT_EQ(PadLeft("7", 4, "ab"), "bab7");    // the last bytes of the repeated pad
    EXPECT_EQ(PadLeft("7", 0, " "), "");
    EXPECT_EQ(PadLeft("xyz", 5, ""), "xyz");
    // Every width against the definition: the last `width` characters of `width` pads and text.
    for (const std::string pad : {"", "0", "ab", "xyz"}) {
        for (const std::string text : {"", "7", "12345"}) {
            for (int width = -1; width <= 9; ++width) {
                const std::string all = RepeatStr(width, pad) + text;
                const std::string expected =
                    width <= 0 ? "" : all.substr(all.size() - std::min<std::size_t>(all.size(), width));
                EXPECT_EQ(PadLeft(text, width, pad), expected) << "'" << text << "' " << width << " '" << pad << "'";
            }
        }
    }

    EXPECT_EQ(RepeatStr(3, "ab"), "ababab");
    EXPECT_EQ(RepeatStr(0, "ab"), "");
    EXPECT_EQ(RepeatStr(-2, "ab"), "");
}

TEST(Packets, WideTextBecomesUtf8) {
    EXPECT_EQ(WideToBytes(u"E"), "E");
    EXPECT_EQ(WideToBytes(u"전송"), "전송");
    EXPECT_EQ(WideToBytes(u"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(WideToBytes(u"\U0001F600"), "\xf0\x9f\x98\x80");
    std::u16string lone(1, static_cast<char16_t>(0xD800));
    EXPECT_EQ(WideToBytes(lone + u"x"), "?x");
}

}  // namespace
}  // namespace kavo
