#include "app/progress_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

TProgressFigures Figures(std::int64_t sent, std::int64_t length, std::int64_t ticks,
                         std::int64_t lineRate = 0) {
    TProgressFigures f;
    f.bytesTransferred = sent;
    f.fileLength = length;
    f.elapsedTicks = ticks;
    f.lineDataRate = lineRate;
    return f;
}

TEST(ProgressReport, PercentRoundsDownAndStaysWithinTheFile) {
    EXPECT_EQ(ProgressPercent(0, 300000), 0);
    EXPECT_EQ(ProgressPercent(2999, 300000), 0);
    EXPECT_EQ(ProgressPercent(3000, 300000), 1);
    EXPECT_EQ(ProgressPercent(299999, 300000), 99);  // not "100%" before the last byte
    EXPECT_EQ(ProgressPercent(300000, 300000), 100);
    EXPECT_EQ(ProgressPercent(301024, 300000), 100);  // padding of the last block
    EXPECT_EQ(ProgressPercent(10, 0), 0);
    EXPECT_EQ(ProgressPercent(-5, 100), 0);
    // Large files do not overflow.
    EXPECT_EQ(ProgressPercent(std::int64_t{3} << 40, std::int64_t{4} << 40), 75);
}

TEST(ProgressReport, RateAndTimeLeftComeFromTheTickClock) {
    // 1675 ticks are 92 s: 1059840 bytes in them is 11520 B/s.
    EXPECT_EQ(ProgressRate(Figures(1059840, 3000000, 1675)), 11520);
    // 1940160 bytes left at 11520 B/s are 168.4 s: a started second counts.
    EXPECT_EQ(ProgressRemainingSecs(Figures(1059840, 3000000, 1675)), 169);
    // A resumed transfer counts only what was sent in this run.
    TProgressFigures resumed = Figures(1059840, 3000000, 1675);
    resumed.initialOffset = 529920;
    EXPECT_EQ(ProgressRate(resumed), 5760);
    // Before the clock runs (or before a byte went) there is no rate: the line's data rate tells.
    EXPECT_EQ(ProgressRate(Figures(1024, 300000, 0)), 0);
    TProgressFigures start = Figures(0, 300000, 0, 11464);
    EXPECT_EQ(ProgressRemainingSecs(start), 27);  // 26.17 s
    start.elapsedTicks = 1675;
    start.bytesTransferred = 92 * 1000;  // once measured, the measured rate counts
    EXPECT_EQ(ProgressRemainingSecs(start), 208);
    EXPECT_EQ(ProgressRemainingSecs(Figures(0, 300000, 40, 11464)), 27);
    EXPECT_EQ(ProgressRemainingSecs(Figures(0, 300000, 40, 0)), 0);  // nothing to go by
    // Done: nothing left, whatever the line's rate.
    EXPECT_EQ(ProgressRemainingSecs(Figures(300000, 300000, 480, 11464)), 0);
}

TEST(ProgressReport, MinutesText) {
    EXPECT_EQ(MinutesText(0), "0:00");
    EXPECT_EQ(MinutesText(9), "0:09");
    EXPECT_EQ(MinutesText(60), "1:00");
    EXPECT_EQ(MinutesText(3725), "62:05");
    EXPECT_EQ(MinutesText(-4), "0:00");
}

TEST(ProgressReport, LineCarriesBytesPercentRateAndEstimate) {
    EXPECT_EQ(ProgressLine(Figures(1059840, 3000000, 1675)),
              "kavodown: 1059840 of 3000000 bytes (35%), 11520 B/s, 2:49 left");
    EXPECT_EQ(ProgressLine(Figures(0, 300000, 0, 11464)),
              "kavodown: 0 of 300000 bytes (0%), 0 B/s, 0:27 left");
    // The last block's padding is not shown as bytes beyond the file.
    EXPECT_EQ(ProgressLine(Figures(300032, 300000, 1675)),
              "kavodown: 300000 of 300000 bytes (100%), 3261 B/s, 0:00 left");
}

struct Capture {
    std::vector<std::string> writes;
    std::string All() const {
        std::string all;
        for (const std::string& w : writes) all += w;
        return all;
    }
};

TEST(ProgressReport, PipesGetPlainLinesWithoutControlCharacters) {
    Capture out;
    TProgressWriter writer([&out](const std::string& text) { out.writes.push_back(text); }, false);
    writer.Report(Figures(0, 3000, 0, 3), false);
    writer.Report(Figures(0, 3000, 0, 3), false);  // the handshake repeats its figures: left out
    writer.Report(Figures(2048, 3000, 10), false);
    writer.Report(Figures(3000, 3000, 14), true);
    writer.Report(Figures(3000, 3000, 14), true);  // so does the end
    writer.EndLine();  // nothing open: nothing written
    ASSERT_EQ(out.writes.size(), 3u);
    for (const std::string& w : out.writes) {
        EXPECT_EQ(w.back(), '\n');
        EXPECT_EQ(w.find('\r'), std::string::npos);
        EXPECT_EQ(w.find('\n'), w.size() - 1);
    }
    EXPECT_NE(out.writes[2].find("3000 of 3000 bytes (100%)"), std::string::npos);
}

TEST(ProgressReport, TerminalsGetOneLineUpdatedInPlace) {
    Capture out;
    TProgressWriter writer([&out](const std::string& text) { out.writes.push_back(text); }, true);
    writer.Report(Figures(1000000, 3000000, 0, 1), false);  // "33333:20 left"
    writer.Report(Figures(2000000, 3000000, 1820), false);  // a shorter line: blanked to the end
    const std::string first = out.writes[0];
    const std::string second = out.writes[1];
    EXPECT_EQ(first[0], '\r');
    EXPECT_EQ(second[0], '\r');
    EXPECT_EQ(first.find('\n'), std::string::npos);
    EXPECT_EQ(second.size(), first.size()) << "what the shorter line leaves must be blanked";
    // Other text first ends the open line, once.
    writer.EndLine();
    writer.EndLine();
    EXPECT_EQ(out.writes.back(), "\n");
    EXPECT_EQ(out.writes.size(), 3u);
    // The last report ends its line by itself.
    writer.Report(Figures(3000000, 3000000, 2730), true);
    EXPECT_EQ(out.All().back(), '\n');
    EXPECT_EQ(out.All().substr(out.All().size() - 2, 1), "t");  // "... left\n": no blanks behind
    writer.EndLine();
    EXPECT_EQ(out.writes.size(), 5u);
}

}  // namespace
}  // namespace kavo
