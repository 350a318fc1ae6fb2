// Transfers by the protocol component over the Windows serial layer to the terminal simulator,
// which tests/wine_line_pair.sh --terminal runs on the far end of the line (one session after
// another, each writing what it received to KAVO_TEST_TERMINAL_OUT): whole files, and the
// component's cancel and the port's close in the middle of one.
#include <cstdlib>
#include <filesystem>

#include "transfer_components.h"

namespace kavo::test {
namespace {

class ComTransfer : public TransferComponents {
protected:
    void SetUp() override {
        const char* line = std::getenv("KAVO_TEST_LINE_PORT");
        const char* out = std::getenv("KAVO_TEST_TERMINAL_OUT");
        if (!line || !out) GTEST_SKIP() << "no line and terminal: run through tests/wine_line_pair.sh --terminal";
        portNumber = std::atoi(line);
        terminalOut = out;
        std::filesystem::remove(terminalOut);  // a session before wrote its own
        MakeComponents();
    }

    // What the terminal's session received, once its file holds at least `size` bytes.
    std::vector<std::uint8_t> Received(std::size_t size) {
        std::error_code ec;
        PumpUntil([&] { return std::filesystem::file_size(terminalOut, ec) >= size && !ec; }, 20s);
        return ReadFile(terminalOut);
    }

    std::string terminalOut;
};

TEST_F(ComTransfer, FilesArriveIdentical) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{1025}, std::size_t{70000}}) {
        SCOPED_TRACE(size);
        finish.reset();
        const auto content = TestBytes(size, static_cast<unsigned>(size));
        Send(WriteFile("firmware.bin", content));
        ASSERT_TRUE(WaitFinish(60s)) << "no finish event";
        EXPECT_EQ(*finish, 0);
        EXPECT_TRUE(errors.empty());
        EXPECT_TRUE(SameUpToPadding(content, Received(size)));
        port->SetOpen(false);
        std::filesystem::remove(terminalOut);
    }
}

TEST_F(ComTransfer, CancelFromTheComponentEndsAtOnce) {
    Send(WriteFile("firmware.bin", TestBytes(1u << 20, 11)));
    ASSERT_TRUE(PumpUntil([&] { return protocol->BytesTransferred() > 50000 || finish.has_value(); }, 60s));
    ASSERT_FALSE(finish.has_value());
    protocol->CancelTransfer();
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -6005);
    EXPECT_FALSE(protocol->InProgress());
}

TEST_F(ComTransfer, PortClosedMidTransferCancelsIt) {
    Send(WriteFile("firmware.bin", TestBytes(1u << 20, 12)));
    ASSERT_TRUE(PumpUntil([&] { return protocol->BytesTransferred() > 50000 || finish.has_value(); }, 60s));
    ASSERT_FALSE(finish.has_value());
    port->SetOpen(false);
    ASSERT_TRUE(WaitFinish(10s));
    EXPECT_EQ(*finish, -6005);
    EXPECT_FALSE(protocol->InProgress());
}

}  // namespace
}  // namespace kavo::test
