// The objects of --progress json: the figures of the text line, repeats left out, one end.
#include "app/progress_json.h"
#include "platform/json_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

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

}  // namespace
}  // namespace kavo
