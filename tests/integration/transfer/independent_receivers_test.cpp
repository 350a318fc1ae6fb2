// Whole transfers from the protocol component over a pty line to receivers we did not write:
// lrzsz rx (behind socat, which reads the EOT's ACK before rx can flush it) and python3-xmodem.
#include "transfer_fixture.h"

namespace kavo::test {
using namespace kavo::sim;
namespace {

const std::size_t kSizes[] = {0, 1, 127, 128, 1023, 1024, 1025, 1100, 2048, 1u << 20};

class ToRx : public TransferOverLine, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ToRx, FileArrivesIdentical) {
    const std::size_t size = GetParam();
    MakeLine();
    MakeComponents();
    const auto content = TestBytes(size, static_cast<unsigned>(size));
    const std::string source = WriteFile("firmware.bin", content);
    const std::string outDir = folder + "/rx";
    std::filesystem::create_directory(outDir);

    Send(source);  // the sender first: it flushes its input when it starts
    ChildProcess rx({.argv = {"socat", "FILE:" + line->PathB() + ",raw,echo=0", "EXEC:rx -c -X out.bin"},
                     .workingDir = outDir});
    ASSERT_TRUE(rx.Started());

    ASSERT_TRUE(WaitFinish(120s)) << "no finish event";
    EXPECT_EQ(*finish, 0);
    EXPECT_TRUE(errors.empty());
    const auto code = WaitPumping(rx, 20s);
    ASSERT_TRUE(code.has_value()) << "rx did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(SameUpToPadding(content, ReadFile(outDir + "/out.bin")));
    ASSERT_FALSE(statusOptions.empty());
    EXPECT_EQ(statusOptions.front(), 1);
    EXPECT_EQ(statusOptions.back(), 2);
    EXPECT_FALSE(protocol->InProgress());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ToRx, ::testing::ValuesIn(kSizes));

struct PythonCase {
    std::size_t size;
    bool crc;
};

class ToPythonXmodem : public TransferOverLine, public ::testing::WithParamInterface<PythonCase> {};

TEST_P(ToPythonXmodem, FileArrivesIdentical) {
    const auto [size, crc] = GetParam();
    MakeLine();
    MakeComponents();
    const auto content = TestBytes(size, static_cast<unsigned>(size) + 11);
    const std::string source = WriteFile("firmware.bin", content);
    const std::string output = folder + "/received.bin";

    Send(source);
    ChildProcess receiver({.argv = {"/usr/bin/python3",
                                    std::string(KAVO_SOURCE_DIR) + "/tests/integration/transfer/xmodem_receive.py",
                                    line->PathB(), output, crc ? "crc" : "checksum"},
                           .workingDir = folder});
    ASSERT_TRUE(receiver.Started());

    ASSERT_TRUE(WaitFinish(120s)) << "no finish event";
    EXPECT_EQ(*finish, 0);
    EXPECT_TRUE(errors.empty());
    const auto code = WaitPumping(receiver, 20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(SameUpToPadding(content, ReadFile(output)));
    // The receiver chose the block check.
    EXPECT_EQ(protocol->ProtocolType(), crc ? ptXmodem1K : ptXmodem);
}

// python3-xmodem's receiver takes no EOT before a first block, so an empty file cannot reach it
// (it answers with more start characters until the sender gives up); rx takes it.
INSTANTIATE_TEST_SUITE_P(Sizes, ToPythonXmodem,
                         ::testing::Values(PythonCase{1, true}, PythonCase{127, true},
                                           PythonCase{128, true}, PythonCase{1023, true}, PythonCase{1024, true},
                                           PythonCase{1025, true}, PythonCase{1100, true}, PythonCase{2048, true},
                                           PythonCase{1u << 20, true}, PythonCase{1100, false},
                                           PythonCase{300000, false}));

}  // namespace
}  // namespace kavo::test
