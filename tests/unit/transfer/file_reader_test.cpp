#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <unistd.h>

#include "serial/error_codes.h"

#include "engine_harness.h"

namespace kavo::test {
namespace {

class FileReader : public ::testing::Test {
protected:
    void Open(const std::vector<std::uint8_t>& content) {
        InitProtocolData(data, nullptr, 0);
        data->PathName = folder.Write("image.bin", content);
        DefaultPrepareRead(*data);
        ASSERT_EQ(data->ErrorCode, 0);
        ASSERT_TRUE(data->FileOpen);
    }
    // Reads the block at the record's FileOffset; returns (size, last).
    std::pair<std::uint32_t, bool> Read(std::uint32_t want) {
        block.assign(1024, 0xEE);
        std::uint32_t size = want;
        const bool last = DefaultReadBlock(*data, block.data(), size);
        return {size, last};
    }
    void TearDown() override { DoneProtocolData(data); }

    TempFolder folder;
    std::unique_ptr<ProtocolData> data;
    std::vector<std::uint8_t> block;
};

TEST_F(FileReader, EmptyFileGivesALastBlockOfNothing) {
    Open({});
    EXPECT_EQ(data->FileLength, 0);
    const auto [size, last] = Read(1024);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(last);
}

TEST_F(FileReader, ShortLastBlockIsFilledWithSub) {
    const auto content = PatternBytes(1100);
    Open(content);
    auto [size, last] = Read(1024);
    EXPECT_EQ(size, 1024u);
    EXPECT_FALSE(last);
    EXPECT_EQ(0, std::memcmp(block.data(), content.data(), 1024));

    data->FileOffset = 1024;
    std::tie(size, last) = Read(1024);
    EXPECT_EQ(size, 76u);
    EXPECT_TRUE(last);
    EXPECT_EQ(0, std::memcmp(block.data(), content.data() + 1024, 76));
    for (int i = 76; i < 1024; ++i) ASSERT_EQ(block[i], 0x1A) << "at " << i;
}

TEST_F(FileReader, ExactMultipleEndsWithAFullLastBlock) {
    Open(PatternBytes(2048));
    EXPECT_FALSE(Read(1024).second);
    data->FileOffset = 1024;
    const auto [size, last] = Read(1024);
    EXPECT_EQ(size, 1024u);
    EXPECT_TRUE(last);
}

TEST_F(FileReader, BlocksOfMixedSizesMatchTheFile) {
    // A switch to 128-byte blocks half way, as after a fall-back, and a short last block.
    const auto content = PatternBytes(20000, 5);
    Open(content);
    std::vector<std::uint8_t> got;
    std::uint32_t blockSize = 1024;
    for (;;) {
        if (data->FileOffset == 10240) blockSize = 128;
        const auto [size, last] = Read(blockSize);
        got.insert(got.end(), block.begin(), block.begin() + size);
        data->FileOffset += blockSize;
        if (last) break;
        ASSERT_LT(got.size(), content.size());
    }
    EXPECT_EQ(got, content);
}

TEST_F(FileReader, GoingBackReadsTheSameBytesAgain) {
    const auto content = PatternBytes(9000, 9);
    Open(content);
    data->FileOffset = 8192;
    EXPECT_TRUE(Read(1024).second);
    data->FileOffset = 1024;
    const auto [size, last] = Read(1024);
    EXPECT_EQ(size, 1024u);
    EXPECT_FALSE(last);
    EXPECT_EQ(0, std::memcmp(block.data(), content.data() + 1024, 1024));
}

TEST_F(FileReader, OpenFailuresAreReportedWithTheirCode) {
    InitProtocolData(data, nullptr, 0);
    DefaultPrepareRead(*data);
    EXPECT_EQ(data->ErrorCode, -2);  // no path name
    data->PathName = folder.Path() + "/missing.bin";
    DefaultPrepareRead(*data);
    EXPECT_EQ(data->ErrorCode, -2);
    EXPECT_FALSE(data->FileOpen);
    data->PathName = folder.Path() + "/nofolder/x.bin";
    DefaultPrepareRead(*data);
    EXPECT_EQ(data->ErrorCode, -3);
    data->PathName = folder.Path();  // a folder is not a file
    DefaultPrepareRead(*data);
    EXPECT_EQ(data->ErrorCode, -5);
    EXPECT_FALSE(data->FileOpen);
}

TEST_F(FileReader, WhatIsSentIsTheFileAsItWasWhenItWasOpened) {
    // Cut, grown, or rewritten in place at the same length: the blocks are those of the image.
    struct Case {
        const char* change;
        void (*apply)(const std::string& path);
    };
    const Case cases[] = {
        {"cut", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 10000), 0); }},
        {"grown",
         [](const std::string& path) {
             std::FILE* file = std::fopen(path.c_str(), "ab");
             ASSERT_NE(file, nullptr);
             std::fputs("more bytes", file);
             std::fclose(file);
         }},
        {"rewritten",
         [](const std::string& path) {
             const auto other = PatternBytes(30000, 77);
             std::FILE* file = std::fopen(path.c_str(), "wb");
             ASSERT_NE(file, nullptr);
             std::fwrite(other.data(), 1, other.size(), file);
             std::fclose(file);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        const auto content = PatternBytes(30000, 3);
        Open(content);
        EXPECT_FALSE(Read(1024).second);
        c.apply(data->PathName);
        std::vector<std::uint8_t> got(block.begin(), block.begin() + 1024);
        for (bool last = false; !last;) {
            data->FileOffset += 1024;
            std::uint32_t size = 0;
            std::tie(size, last) = Read(1024);
            got.insert(got.end(), block.begin(), block.begin() + size);
            ASSERT_LE(got.size(), content.size());
        }
        EXPECT_EQ(data->ErrorCode, 0);
        EXPECT_EQ(got, content);
        DoneProtocolData(data);
    }
}

TEST_F(FileReader, FinishReadKeepsTheImageThatWasSent) {
    const auto content = PatternBytes(10);
    Open(content);
    EXPECT_EQ(data->FileLength, 10);
    DefaultFinishRead(*data);
    EXPECT_FALSE(data->FileOpen);
    ASSERT_NE(data->Image, nullptr);
    EXPECT_EQ(data->Image->Bytes(), content);
}

}  // namespace
}  // namespace kavo::test
