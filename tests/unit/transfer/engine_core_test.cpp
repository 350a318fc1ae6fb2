#include <gtest/gtest.h>

#include <filesystem>

#include "engine_harness.h"
#include "serial/errors.h"

namespace kavo::test {
namespace {

TEST(EngineFigures, EstimateAtTheSystemsSettings) {
    std::unique_ptr<ProtocolData> data;
    InitProtocolData(data, nullptr, 0);
    ScriptedLine line;
    line.bitsPerCharacter = 10;  // 8 data bits, no parity: 8 + 2
    data->Line = &line;
    SetLineSpeed(*data, 115200);
    EXPECT_EQ(data->CharsPerSecond, 11520u);
    data->BlockLength = 1024;
    data->Overhead = 5;
    data->TurnDelay = 1000;
    EXPECT_EQ(EstimateTransferSecs(*data, 92100), 100);
    EXPECT_EQ(EstimateTransferSecs(*data, 0), 0);
    data->CharsPerSecond = 0;  // no line speed: no estimate rather than a division by zero
    EXPECT_EQ(EstimateTransferSecs(*data, 92100), 0);

    line.bitsPerCharacter = 11;  // with parity
    SetLineSpeed(*data, 115200);
    EXPECT_EQ(data->CharsPerSecond, 10472u);
    line.open = false;  // closed: 10 bits per character
    SetLineSpeed(*data, 9600);
    EXPECT_EQ(data->CharsPerSecond, 960u);
    DoneProtocolData(data);
}

TEST(EngineFigures, BytesInTheOutputRingAreNotCountedAsTransferred) {
    std::unique_ptr<ProtocolData> data;
    InitProtocolData(data, nullptr, 0);
    EXPECT_EQ(BytesTransferred(*data), 0);  // no port
    ScriptedLine line;
    data->Line = &line;
    data->BlockLength = 1024;
    data->Overhead = 5;
    data->TransferredBytes = 10240;
    data->FileLength = 20000;
    line.outUsed = 1000;  // less than a block
    EXPECT_EQ(BytesTransferred(*data), 10240);
    line.outUsed = 2058;  // two blocks with their overhead
    EXPECT_EQ(BytesTransferred(*data), 10240 - 2048);
    EXPECT_EQ(BytesRemaining(*data), 20000 - (10240 - 2048));
    data->TransferredBytes = 1000;
    EXPECT_EQ(BytesTransferred(*data), 0);  // never negative
    data->FileLength = 0;
    data->TransferredBytes = 2048;
    line.outUsed = 0;
    EXPECT_EQ(BytesRemaining(*data), 0);
    DoneProtocolData(data);
}

TEST(EngineCodes, StatusTextsAndFinishMapping) {
    EXPECT_EQ(ProtocolStatusText(4700), "OK");
    EXPECT_EQ(ProtocolStatusText(4707), "File skipped ");
    EXPECT_EQ(ProtocolStatusText(4711), "Duplicate block received and ignored ");
    EXPECT_EQ(ProtocolStatusText(4714), "At end of file");
    EXPECT_EQ(ProtocolStatusText(4723), "B+ host is resuming");
    EXPECT_EQ(ProtocolStatusText(4724), "");
    EXPECT_EQ(ProtocolStatusText(4730), "");
    EXPECT_EQ(ProtocolStatusText(4699), "");

    const std::pair<int, int> mapping[] = {{4703, -6011}, {4707, -6012}, {4708, -6006}, {4712, -6007},
                                           {4713, -6005}, {4716, -6009}, {4717, -6014}, {4730, -6016},
                                           {4714, 0},     {4700, 0},     {4709, 0}};
    for (const auto& [status, error] : mapping) EXPECT_EQ(ErrorForStatus(status), error) << status;
    EXPECT_EQ(ErrorText(-6005), "Cancel requested");
}

TEST(EngineReporting, FinishTurnsACancelStatusIntoAnErrorAndPostsIt) {
    EngineHarness h;
    h.data->Status = psCancelRequested;
    h.data->ErrorCode = 0;
    FinishProtocol(*h.data);
    EXPECT_FALSE(h.reports.finish.has_value());  // posted, not sent
    h.Pump();
    ASSERT_TRUE(h.reports.finish.has_value());
    EXPECT_EQ(*h.reports.finish, -6005);
}

TEST(EngineReporting, FirstAndLastStatusNestAndUnmatchedLastSendsNothing) {
    EngineHarness h;
    ShowLastStatus(*h.data);
    EXPECT_TRUE(h.reports.statusOptions.empty());
    ShowFirstStatus(*h.data);
    ShowFirstStatus(*h.data);
    ShowLastStatus(*h.data);
    ShowLastStatus(*h.data);
    EXPECT_EQ(h.reports.statusOptions, (std::vector<std::uint32_t>{1, 0, 0, 2}));
    EXPECT_EQ(h.data->InProgress, 0);
}

TEST(EngineReporting, StatusReportsWaitForTheStatusTimer) {
    EngineHarness h;
    h.data->StatusTimer = 16;
    h.data->StatusInterval = 10;
    h.data->ForceStatus = true;
    h.line.timerTicksLeft[16] = 4;  // the interval has not passed
    PaceStatus(*h.data, 0);
    EXPECT_TRUE(h.reports.statusOptions.empty());
    EXPECT_TRUE(h.data->ForceStatus);  // the forced report is kept for later

    PaceStatus(*h.data, 24);  // another trigger, still too early
    EXPECT_TRUE(h.reports.statusOptions.empty());

    h.line.timerTicksLeft[16] = 0;
    PaceStatus(*h.data, 16);
    EXPECT_EQ(h.reports.statusOptions.size(), 1u);
    EXPECT_FALSE(h.data->ForceStatus);
    EXPECT_EQ(h.line.timerArmedTicks[16], 10);

    PaceStatus(*h.data, 0);  // neither forced nor the status timer: nothing
    EXPECT_EQ(h.reports.statusOptions.size(), 1u);
}

TEST(EngineSettings, FileNamesJoinTheDestinationFolder) {
    std::unique_ptr<ProtocolData> data;
    InitProtocolData(data, nullptr, 0);
    data->DestinationDirectory = "/srv/fw";
    SetFileName(*data, "image.bin");
    EXPECT_EQ(data->PathName, "/srv/fw/image.bin");
    data->DestinationDirectory = "/srv/fw/";
    SetFileName(*data, "image.bin");
    EXPECT_EQ(data->PathName, "/srv/fw/image.bin");
    SetFileName(*data, "/abs/other.bin");
    EXPECT_EQ(data->PathName, "/abs/other.bin");
    // Paths up to the system's limit are kept whole; only a longer one is cut.
    SetFileName(*data, "/" + std::string(400, 'a'));
    EXPECT_EQ(data->PathName.size(), 401u);
    SetFileName(*data, "/" + std::string(5000, 'a'));
    EXPECT_EQ(data->PathName.size(), 4095u);
    EXPECT_EQ(data->SearchMask, "*.*");
    EXPECT_TRUE(data->UpcaseFileNames);
    EXPECT_EQ(data->BlockLength, 128u);
    EXPECT_EQ(data->WriteFailAction, wfWriteRename);
    DoneProtocolData(data);
}

class FileSearch : public ::testing::Test {
protected:
    std::vector<std::string> All(const std::string& mask) {
        h.data->SearchMask = mask;
        h.data->FirstSearch = true;
        std::vector<std::string> names;
        std::string name;
        while (NextMatchingFile(*h.data, name)) names.push_back(name);
        EXPECT_FALSE(h.data->SearchActive);
        return names;
    }
    TempFolder folder;
    EngineHarness h;
};

TEST_F(FileSearch, MasksMatchRegularFilesInNameOrder) {
    folder.Write("b.bin", {1});
    folder.Write("a.bin", {1});
    folder.Write("c.txt", {1});
    folder.Write("noext", {1});
    std::filesystem::create_directory(folder.Path() + "/d.bin");
    const std::string dir = folder.Path() + "/";
    EXPECT_EQ(All(dir + "*.bin"), (std::vector<std::string>{dir + "a.bin", dir + "b.bin"}));
    EXPECT_EQ(All(dir + "*.*").size(), 4u);  // every file, as the default mask means
    EXPECT_EQ(All(dir + "c.txt"), (std::vector<std::string>{dir + "c.txt"}));
    EXPECT_EQ(All(dir + "?.bin"), (std::vector<std::string>{dir + "a.bin", dir + "b.bin"}));
    EXPECT_EQ(All(dir + "*t"), (std::vector<std::string>{dir + "c.txt", dir + "noext"}));
    EXPECT_TRUE(h.reports.errors.empty());
}

TEST_F(FileSearch, BracketsInANameAreNoPattern) {
    folder.Write("fw[1].bin", {1});
    folder.Write("fw1.bin", {1});
    const std::string dir = folder.Path() + "/";
    EXPECT_EQ(All(dir + "fw[1].bin"), (std::vector<std::string>{dir + "fw[1].bin"}));
    EXPECT_EQ(All(dir + "fw[*"), (std::vector<std::string>{dir + "fw[1].bin"}));
    EXPECT_TRUE(h.reports.errors.empty());
}

TEST_F(FileSearch, FailuresCarryTheirCodes) {
    EXPECT_TRUE(All("").empty());
    EXPECT_TRUE(All(folder.Path() + "/missing.bin").empty());
    EXPECT_TRUE(All(folder.Path() + "/nowhere/x.bin").empty());
    EXPECT_TRUE(All(folder.Path() + "/*.none").empty());
    EXPECT_EQ(h.reports.errors, (std::vector<std::int32_t>{-6002, -2, -6004, -6003}));
    EXPECT_EQ(h.data->ErrorCode, -6003);
}

}  // namespace
}  // namespace kavo::test
