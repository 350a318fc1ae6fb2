#include "support/read_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <memory>
#include <sstream>

#include "fake_dispatcher.h"
#include "serial/error_codes.h"

namespace kavo::test {
namespace {

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(d.Open(100), 0);
        dir = std::make_unique<TempDir>("kavo-trace");
        folder = dir->Path().string();
    }
    FakeDispatcher d;
    std::unique_ptr<TempDir> dir;
    std::string folder;
};

TEST(TraceFormat, HeadingsItemsAndBlankLinesBetweenKinds) {
    std::vector<std::pair<char, std::uint8_t>> entries = {
        {'T', 'A'}, {'T', ' '}, {'T', 0x06}, {'R', 200}, {'R', 'z'}, {'X', 9}};
    EXPECT_EQ(FormatTraceEntries(entries, false, false),
              "Transmit: A [6]\n\nReceive: [200]z\n\nSpecial-X: [9]\n");
    EXPECT_EQ(FormatTraceEntries(entries, true, false),
              "Transmit: A[20][06]\n\nReceive: [C8]z\n\nSpecial-X: [09]\n");
    EXPECT_EQ(FormatTraceEntries(entries, false, true),
              "Transmit: [41][20][06]\n\nReceive: [C8][7A]\n\nSpecial-X: [09]\n");
    EXPECT_EQ(FormatTraceEntries({}, false, false), "");
}

TEST(TraceFormat, NoLineRunsPastColumn78) {
    std::vector<std::pair<char, std::uint8_t>> entries;
    for (int i = 0; i < 100; ++i) entries.push_back({'R', 'a'});
    for (int i = 0; i < 40; ++i) entries.push_back({'T', 255});
    std::string text = FormatTraceEntries(entries, false, false);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) all.push_back(line);
    for (const auto& l : all) EXPECT_LE(l.size(), 78u) << l;
    // "Receive: " (9) + 69 letters fill the first line exactly.
    EXPECT_EQ(all[0], "Receive: " + std::string(69, 'a'));
    EXPECT_EQ(all[1], std::string(31, 'a'));
    // Five-column items: 10 + 13 * 5 = 75; the 14th would pass 78.
    EXPECT_EQ(all[3].size(), 75u);
}

TEST_F(TraceTest, ATraceKeepsItsLastEntriesOldestFirst) {
    ASSERT_EQ(d.StartTrace(3), 0);
    d.SendBlock("abcde", 5);
    std::string file = folder + "/t.trc";
    EXPECT_EQ(d.DumpTrace(file, false, false, false), 0);
    EXPECT_EQ(ReadFile(file), "Transmit: cde\n");
    EXPECT_FALSE(d.Tracing());
    // Appending adds to the file; an empty trace writes nothing.
    ASSERT_EQ(d.StartTrace(10), 0);
    d.PauseTrace();
    d.SendBlock("x", 1);
    d.ResumeTrace();
    d.Arrive("yz");
    d.Pass();
    d.ReadChar();
    EXPECT_EQ(d.DumpTrace(file, true, false, false), 0);
    EXPECT_EQ(ReadFile(file), "Transmit: cde\nReceive: y\n");
    ASSERT_EQ(d.StartTrace(10), 0);
    std::string empty = folder + "/empty.trc";
    EXPECT_EQ(d.DumpTrace(empty, false, false, false), 0);
    EXPECT_NE(access(empty.c_str(), F_OK), 0);
    EXPECT_EQ(d.StartTrace(4000001), ecBadArgument);
}

TEST_F(TraceTest, DumpErrorsAreReportedAndTheRingIsReleased) {
    ASSERT_EQ(d.StartTrace(10), 0);
    d.SendChar('a');
    EXPECT_EQ(d.DumpTrace(folder + "/missing/dir/t.trc", false, false, false), ecPathNotFound);
    EXPECT_FALSE(d.Tracing());
}

TEST_F(TraceTest, DispatchLogHasItsHeaderAndOneLinePerEntry) {
    d.SetDeviceNameText("COM5");
    ASSERT_EQ(d.StartDispatchLog(10000), 0);
    int timer = d.CreateTimerTrigger();
    d.ArmTimerTrigger(timer, 5, false);
    int status = d.CreateStatusTrigger(stOutBuffFree);
    d.SendBlock("hi\x01", 3);
    d.AddLogEntry(3, 4, 0xABCD, "ok", 2);
    std::string file = folder + "/t.log";
    EXPECT_EQ(d.DumpDispatchLog(file, false, true, false), 0);
    std::string text = ReadFile(file);
    EXPECT_NE(text.find("Device: COM5\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(Date/time: \d\d/\d\d/\d\d, \d\d:\d\d:\d\d\n)")));
    EXPECT_NE(text.find("Deactivated"), std::string::npos);
    EXPECT_NE(text.find("(Output buffer free)"), std::string::npos);
    // "%8s  %-8s  %-12s  %08x  " then the data items.
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n +\d+\.\d{3}  Device    Write         00000003  hi\[01\]\n)")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(  Type 3    4             0000abcd  ok\n)"))) << text;
    char handle[16];
    std::snprintf(handle, sizeof handle, "%08x", static_cast<unsigned>(status));
    EXPECT_NE(text.find(handle), std::string::npos);
}

TEST_F(TraceTest, TheLogDropsItsOldestEntriesToMakeRoom) {
    ASSERT_EQ(d.StartDispatchLog(3 * 16 + 10), 0);
    for (std::uint32_t i = 1; i <= 5; ++i) d.AddLogEntry(3, 1, i, nullptr, 0);
    d.AddLogEntry(3, 1, 99, std::string(200, 'x').data(), 200);  // never fits: dropped
    std::string file = folder + "/t.log";
    EXPECT_EQ(d.DumpDispatchLog(file, false, true, false), 0);
    std::string text = ReadFile(file);
    EXPECT_EQ(text.find("00000002"), std::string::npos);
    EXPECT_NE(text.find("00000003"), std::string::npos);
    EXPECT_NE(text.find("00000005"), std::string::npos);
    EXPECT_EQ(text.find("00000063"), std::string::npos);
}

}  // namespace
}  // namespace kavo::test
