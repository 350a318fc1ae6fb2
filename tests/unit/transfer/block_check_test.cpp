#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transfer/protocol_engine.h"
#include "transfer/xmodem.h"

namespace kavo::test {
namespace {

std::uint16_t CrcOf(const std::string& text) {
    return BlockCrc16(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Bitwise CRC-16/XMODEM, written independently of the table-driven step.
std::uint16_t ReferenceCrc(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

TEST(BlockCheck, Crc16KnownVectors) {
    EXPECT_EQ(CrcOf("123456789"), 0x31C3);
    EXPECT_EQ(CrcOf(""), 0x0000);
    EXPECT_EQ(CrcOf("A"), 0x58E5);
    std::uint8_t block[1024];
    for (int i = 0; i < 1024; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    EXPECT_EQ(BlockCrc16(block, sizeof block), ReferenceCrc(block, sizeof block));
    std::memset(block, 0x1A, sizeof block);
    EXPECT_EQ(BlockCrc16(block, 128), ReferenceCrc(block, 128));
}

TEST(BlockCheck, ChecksumIsA32BitSumWhoseLowByteIsSent) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 300; ++i) sum = UpdateChecksum(0xFF, sum);
    EXPECT_EQ(sum, 300u * 255u);
    EXPECT_EQ(UpdateChecksum(0x10, 0xFFFFFFF0u), 0u);
}

TEST(XmodemBlock, CrcBlockLayout) {
    std::uint8_t data[1024];
    for (int i = 0; i < 1024; ++i) data[i] = static_cast<std::uint8_t>(i);
    const auto block = BuildXmodemBlock(cStx, 1, data, 1024, true);
    ASSERT_EQ(block.size(), 1029u);
    EXPECT_EQ(block[0], cStx);
    EXPECT_EQ(block[1], 0x01);
    EXPECT_EQ(block[2], 0xFE);
    EXPECT_EQ(0, std::memcmp(block.data() + 3, data, 1024));
    const std::uint16_t crc = ReferenceCrc(data, 1024);
    EXPECT_EQ(block[1027], crc >> 8);  // high byte first
    EXPECT_EQ(block[1028], crc & 0xFF);
}

TEST(XmodemBlock, ChecksumBlockLayout) {
    std::uint8_t data[128];
    std::memset(data, 0x81, sizeof data);
    const auto block = BuildXmodemBlock(cSoh, 2, data, 128, false);
    ASSERT_EQ(block.size(), 132u);
    EXPECT_EQ(block[0], cSoh);
    EXPECT_EQ(block[1], 0x02);
    EXPECT_EQ(block[2], 0xFD);
    EXPECT_EQ(block[131], static_cast<std::uint8_t>(128 * 0x81));
}

TEST(XmodemBlock, NumbersWrapAfter255) {
    std::uint8_t data[128] = {};
    const auto b255 = BuildXmodemBlock(cSoh, 255, data, 128, true);
    EXPECT_EQ(b255[1], 0xFF);
    EXPECT_EQ(b255[2], 0x00);
    const auto b256 = BuildXmodemBlock(cSoh, 256, data, 128, true);
    EXPECT_EQ(b256[1], 0x00);
    EXPECT_EQ(b256[2], 0xFF);
    const auto b257 = BuildXmodemBlock(cSoh, 257, data, 128, true);
    EXPECT_EQ(b257[1], 0x01);
    EXPECT_EQ(b257[2], 0xFE);
}

}  // namespace
}  // namespace kavo::test
