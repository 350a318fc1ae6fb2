// The JSON lines of --progress json and the station's records: what is written reads back the
// same, and the reader refuses what is not one flat object.
#include "app/device_option.h"
#include "app/json_text.h"
#include "app/progress_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

TEST(JsonText, WrittenTextsReadBackUnchanged) {
    const std::string texts[] = {
        "", "plain", "quote \" and backslash \\", "line\nbreak\ttab\r", "\x01\x1f\x7f",
        "\xed\x8c\x8c\xec\x9d\xbc \xec\x99\x84\xeb\xa3\x8c",  // Korean
        "\xf0\x9f\x98\x80 four bytes", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0",
    };
    for (const std::string& text : texts) {
        const std::string line = TJsonObject().Add("t", text).Add("n", -42).Add("b", true).Text();
        const auto members = ParseFlatJsonObject(line);
        ASSERT_TRUE(members) << line;
        EXPECT_EQ(JsonText(*members, "t"), text) << line;
        EXPECT_EQ(JsonInteger(*members, "n"), -42);
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

TEST(JsonText, BytesThatAreNoTextBecomeTheReplacementCharacter) {
    for (const std::string& bad : {std::string("\xff"), std::string("a\xc3"), std::string("\xc0\xaf"),
                                  std::string("\xed\xa0\x80")}) {
        const std::string line = TJsonObject().Add("t", bad).Text();
        const auto members = ParseFlatJsonObject(line);
        ASSERT_TRUE(members) << line;
        EXPECT_NE(JsonText(*members, "t").find("\xef\xbf\xbd"), std::string::npos) << line;
    }
}

TEST(JsonText, ReaderTakesTheGrammarAndRefusesTheRest) {
    const auto ok = ParseFlatJsonObject(
        " { \"a\" : \"\\u00e9\\ud83d\\ude00\\/\" , \"n\":9223372036854775807,\"m\":-9223372036854775808,"
        "\"f\":false}\r");
    ASSERT_TRUE(ok);
    EXPECT_EQ(JsonText(*ok, "a"), "\xc3\xa9\xf0\x9f\x98\x80/");
    EXPECT_EQ(JsonInteger(*ok, "n"), INT64_MAX);
    EXPECT_EQ(JsonInteger(*ok, "m"), INT64_MIN);
    EXPECT_EQ(JsonInteger(*ok, "f", 7), 7);  // a boolean is no integer
    EXPECT_EQ(JsonText(*ok, "n", "x"), "x");
    EXPECT_TRUE(ParseFlatJsonObject("{}"));

    for (const char* bad : {"", "{", "}", "[]", "{\"a\":1,}", "{\"a\":1}{}", "{\"a\":1} x",
                            "{\"a\":{}}", "{\"a\":[1]}", "{\"a\":null}", "{\"a\":1.5}",
                            "{\"a\":1e3}", "{\"a\":01}", "{\"a\":-}", "{\"a\":9223372036854775808}",
                            "{a:1}", "{\"a\" 1}", "{\"a\":\"\\x\"}", "{\"a\":\"\\ud800\"}",
                            "{\"a\":\"\\udc00\"}", "{\"a\":\"tab\there\"}", "{\"a\":\"\xff\"}",
                            "{\"a\":\"open}", "{\"a\":tru}"}) {
        EXPECT_FALSE(ParseFlatJsonObject(bad)) << bad;
    }
}

TEST(ProgressJson, ReportsCarryTheFiguresOfTheTextLineAndRepeatsAreLeftOut) {
    std::vector<std::string> lines;
    TProgressJsonWriter writer([&lines](const std::string& text) { lines.push_back(text); });
    TProgressFigures f;
    f.fileLength = 3000000;
    f.bytesTransferred = 1059840;
    f.elapsedTicks = 1675;  // 92 s: 11520 B/s, 169 s left
    f.totalErrors = 4;
    writer.Report(f);
    writer.Report(f);
    f.bytesTransferred = 3001024;  // the padding of the last block is not counted
    writer.Report(f);
    writer.End(2, "kavodown: \"failed\"", "ab12", 3000000, 7);
    writer.End(0, "", "", 0, 0);
    writer.Report(f);
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) EXPECT_EQ(line.back(), '\n');

    const auto first = ParseFlatJsonObject(lines[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(JsonText(*first, "event"), "progress");
    EXPECT_EQ(JsonInteger(*first, "sent"), 1059840);
    EXPECT_EQ(JsonInteger(*first, "size"), 3000000);
    EXPECT_EQ(JsonInteger(*first, "percent"), 35);
    EXPECT_EQ(JsonInteger(*first, "rate"), 11520);
    EXPECT_EQ(JsonInteger(*first, "left"), 169);
    EXPECT_EQ(JsonInteger(*first, "errors"), 4);
    const auto full = ParseFlatJsonObject(lines[1]);
    ASSERT_TRUE(full);
    EXPECT_EQ(JsonInteger(*full, "sent"), 3000000);
    EXPECT_EQ(JsonInteger(*full, "percent"), 100);
    const auto end = ParseFlatJsonObject(lines[2]);
    ASSERT_TRUE(end);
    EXPECT_EQ(JsonText(*end, "event"), "end");
    EXPECT_EQ(JsonInteger(*end, "code"), 2);
    EXPECT_EQ(JsonText(*end, "outcome"), "kavodown: \"failed\"");
    EXPECT_EQ(JsonText(*end, "sha256"), "ab12");
    EXPECT_EQ(JsonInteger(*end, "errors"), 7);
}

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
