// The flat JSON lines of the progress stream and the station's records: what is written reads
// back the same, and the reader refuses what is not one flat object.
#include "platform/json_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

}  // namespace
}  // namespace kavo
