#include "status/status_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace kavo {
namespace {

class TimeTextTest : public ::testing::TestWithParam<std::tuple<std::int64_t, std::string>> {};

TEST_P(TimeTextTest, MinutesColonTwoDigitSecondsRightAlignedInSix) {
    const auto& [seconds, text] = GetParam();
    EXPECT_EQ(TimeText(seconds), text);
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, TimeTextTest,
    ::testing::Values(std::tuple<std::int64_t, std::string>{0, "  0:00"},
                      std::tuple<std::int64_t, std::string>{9, "  0:09"},
                      std::tuple<std::int64_t, std::string>{61, "  1:01"},
                      std::tuple<std::int64_t, std::string>{125, "  2:05"},
                      std::tuple<std::int64_t, std::string>{599, "  9:59"},
                      std::tuple<std::int64_t, std::string>{600, " 10:00"},
                      std::tuple<std::int64_t, std::string>{5999, " 99:59"},
                      std::tuple<std::int64_t, std::string>{6000, "100:00"},
                      std::tuple<std::int64_t, std::string>{600000, "10000:00"},
                      std::tuple<std::int64_t, std::string>{-5, "  0:00"}));

TEST(StatusRules, FileNameIsTheLastPartCutAfterEighteenCharacters) {
    EXPECT_EQ(ShortFileName("/home/op/fw/pad.bin"), "pad.bin");
    EXPECT_EQ(ShortFileName("C:\\fw\\pad.bin"), "pad.bin");
    EXPECT_EQ(ShortFileName("pad.bin"), "pad.bin");
    EXPECT_EQ(ShortFileName("/fw/"), "");
    EXPECT_EQ(ShortFileName("/fw/abcdefghijklmnopqr"), "abcdefghijklmnopqr");      // 18: whole
    EXPECT_EQ(ShortFileName("/fw/abcdefghijklmnopqrs"), "abcdefghijklmnopqr...");  // 19
    EXPECT_EQ(ShortFileName("firmware_v2_0_release_candidate.bin"), "firmware_v2_0_rele...");
    // Korean names are cut by characters, never inside one (each is three bytes here).
    const std::string hangul = "\xED\x8E\x8C\xEC\x9B\xA8\xEC\x96\xB4";  // three syllables
    std::string longName;
    for (int i = 0; i < 7; ++i) longName += hangul;  // 21 characters, 63 bytes
    std::string expected;
    for (int i = 0; i < 6; ++i) expected += hangul;  // 18 characters
    EXPECT_EQ(ShortFileName("/fw/" + longName), expected + "...");
    EXPECT_EQ(ShortFileName("/fw/" + expected), expected);
}

TEST(StatusRules, BlockArithmetic) {
    // 3000 bytes in blocks of 1024 with 1024 sent: 2 whole blocks, 1 sent, 2 to go (1976 bytes).
    EXPECT_EQ(TotalBlocks(3000, 1024), 2);
    EXPECT_EQ(BlocksTransferred(1024, 1024), 1);
    EXPECT_EQ(BlocksRemaining(1976, 1024), 2);
    EXPECT_EQ(BlocksRemaining(2048, 1024), 2);
    EXPECT_EQ(BlocksRemaining(2049, 1024), 3);
    EXPECT_EQ(BlocksRemaining(0, 1024), 0);
    // Without a block length nothing is divided.
    EXPECT_EQ(TotalBlocks(3000, 0), 0);
    EXPECT_EQ(BlocksTransferred(1024, 0), 0);
    EXPECT_EQ(BlocksRemaining(1976, 0), 0);
}

TEST(StatusRules, ThroughputAndEfficiency) {
    // No tick elapsed yet: zero, padded as the formats say.
    EXPECT_EQ(Throughput(5000, 0, 0), 0.0);
    EXPECT_EQ(ThroughputText(Throughput(5000, 0, 0)), "    0 CPS");
    EXPECT_EQ(EfficiencyText(0.0, 115200), "  0%");
    // 11000 bytes in 182 ticks (10 s): 1100 CPS, 9.55 % of 11520.
    const double t = Throughput(11000, 0, 182);
    EXPECT_DOUBLE_EQ(t, 1100.0);
    EXPECT_EQ(ThroughputText(t), " 1100 CPS");
    EXPECT_EQ(EfficiencyText(t, 115200), " 10%");
    EXPECT_EQ(EfficiencyText(11520.0, 115200), "100%");
    EXPECT_EQ(ThroughputText(123456.0), "123456 CPS");
    // The bytes before the starting offset do not count.
    EXPECT_DOUBLE_EQ(Throughput(11000, 1000, 182), 1000.0);
    // An unknown line speed gives 0 instead of a division by zero.
    EXPECT_EQ(EfficiencyText(1100.0, 0), "  0%");
    EXPECT_EQ(EfficiencyText(1100.0, 9), "  0%");
}

TEST(StatusRules, NamesOfProtocolsAndBlockChecks) {
    const char* protocols[] = {"None",   "Xmodem",  "XmodemCRC", "Xmodem1K", "Xmodem1KG",
                               "Ymodem", "YmodemG", "Zmodem",    "Kermit",   "Ascii"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ProtocolName(i), protocols[i]) << i;
    EXPECT_EQ(ProtocolName(10), "None");
    EXPECT_EQ(ProtocolName(-1), "None");
    EXPECT_EQ(BlockCheckName(0), "No check");
    EXPECT_EQ(BlockCheckName(1), "Checksum");
    EXPECT_EQ(BlockCheckName(2), "Checksum2");
    EXPECT_EQ(BlockCheckName(3), "Crc16");
    EXPECT_EQ(BlockCheckName(4), "Crc32");
    EXPECT_EQ(BlockCheckName(5), "CrcKermit");
    EXPECT_EQ(BlockCheckName(6), "No check");
    EXPECT_EQ(BlockCheckName(0x80 | 3), "Crc16");  // only the low 7 bits count
}

TEST(StatusRules, MeterPercentRoundsHalvesToEven) {
    EXPECT_EQ(MeterPercent(0, 0), 0);
    EXPECT_EQ(MeterPercent(100, 0), 0);
    EXPECT_EQ(MeterPercent(0, 3000), 0);
    EXPECT_EQ(MeterPercent(3000, 3000), 100);
    EXPECT_EQ(MeterPercent(1024, 3000), 34);  // 34.13
    EXPECT_EQ(MeterPercent(1, 200), 0);       // 0.5 -> 0
    EXPECT_EQ(MeterPercent(3, 200), 2);       // 1.5 -> 2
    EXPECT_EQ(MeterPercent(5, 200), 2);       // 2.5 -> 2
    EXPECT_EQ(MeterPercent(7, 200), 4);       // 3.5 -> 4
    EXPECT_EQ(MeterPercent(101, 200), 50);    // 50.5 -> 50
    EXPECT_EQ(MeterPercent(2, 3), 67);        // 66.67
    // Sizes whose hundredfold passes the 64-bit range still give the plain percentage.
    const std::int64_t huge = 123456789012345678;
    EXPECT_EQ(MeterPercent(huge, huge), 100);
    EXPECT_EQ(MeterPercent(huge / 2, huge), 50);
}

TEST(StatusRules, MeterBlocksOfTheStatusWindowsMeter) {
    // 377 pixels wide, step 10: one block at 1 %, 37 whole ones and a 3-pixel rest at 100 %.
    EXPECT_EQ(MeterBlocks(377, 0, 100, 0, 10), (TMeterBlocks{0, false, 0}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 1, 10), (TMeterBlocks{1, false, 0}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 50, 10), (TMeterBlocks{19, false, 0}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 97, 10), (TMeterBlocks{36, false, 0}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 100, 10), (TMeterBlocks{37, true, 3}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 250, 10), (TMeterBlocks{37, true, 3}));
    // The creation size with the creation step.
    EXPECT_EQ(MeterBlocks(150, 0, 100, 100, 8), (TMeterBlocks{18, true, 2}));
    // A position at or below Min draws nothing; a range offset from zero.
    EXPECT_EQ(MeterBlocks(377, 20, 120, 20, 10), (TMeterBlocks{0, false, 0}));
    EXPECT_EQ(MeterBlocks(377, 20, 120, 21, 10), (TMeterBlocks{1, false, 0}));
    // Settings that would divide by zero or draw outside draw nothing.
    EXPECT_EQ(MeterBlocks(377, 0, 0, 50, 10), (TMeterBlocks{}));
    EXPECT_EQ(MeterBlocks(377, 100, 0, 50, 10), (TMeterBlocks{}));
    EXPECT_EQ(MeterBlocks(377, 0, 100, 50, 0), (TMeterBlocks{}));
    EXPECT_EQ(MeterBlocks(2, 0, 100, 50, 10), (TMeterBlocks{}));
}

TEST(StatusRules, StatusTextsOfAReport) {
    TStatusFigures f;
    f.protocolType = 3;
    f.blockCheck = 3;
    f.fileName = "/tmp/fw/signature_pad_firmware.bin";
    f.fileLength = 3000;
    f.blockLength = 1024;
    f.bytesTransferred = 1024;
    f.bytesRemaining = 1976;
    f.blockErrors = 1;
    f.totalErrors = 4;
    f.estimatedSecs = 125;
    f.remainingSecs = 61;
    f.elapsedTicks = 182;  // (182 + 9) * 92 / 1675 = 10 s
    f.bitRate = 115200;
    f.statusText = "OK & fine";
    const TStatusTexts t = StatusTexts(f);
    EXPECT_EQ(t.protocol, "Xmodem1K");
    EXPECT_EQ(t.blockCheck, "Crc16");
    EXPECT_EQ(t.fileName, "signature_pad_firm...");
    EXPECT_EQ(t.fileSize, "3000");
    EXPECT_EQ(t.blockSize, "1024");
    EXPECT_EQ(t.totalBlocks, "2");
    EXPECT_EQ(t.bytesTransferred, "1024");
    EXPECT_EQ(t.bytesRemaining, "1976");
    EXPECT_EQ(t.blocksTransferred, "1");
    EXPECT_EQ(t.blocksRemaining, "2");
    EXPECT_EQ(t.blockErrors, "1");
    EXPECT_EQ(t.totalErrors, "4");
    EXPECT_EQ(t.estimatedTime, "  2:05");
    EXPECT_EQ(t.elapsedTime, "  0:10");
    EXPECT_EQ(t.remainingTime, "  1:01");
    EXPECT_EQ(t.throughput, "  102 CPS");  // 1024 / 10 s, 102.4
    EXPECT_EQ(t.efficiency, "  1%");       // 102.4 of 11520
    EXPECT_EQ(t.kermitWindows, "0");
    EXPECT_EQ(t.statusMsg, "OK & fine");
    EXPECT_EQ(t.meterPosition, 34);
}

TEST(StatusRules, ElapsedTimeUsesTheTickClocksSecondsRule) {
    TStatusFigures f;
    f.elapsedTicks = 1092;  // 60 s
    EXPECT_EQ(StatusTexts(f).elapsedTime, "  1:00");
    f.elapsedTicks = 0;
    EXPECT_EQ(StatusTexts(f).elapsedTime, "  0:00");
    f.elapsedTicks = 10;  // (10 + 9) * 92 / 1675 = 1
    EXPECT_EQ(StatusTexts(f).elapsedTime, "  0:01");
}

}  // namespace
}  // namespace kavo
