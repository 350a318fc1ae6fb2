#include "serial/posix_line.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/unique_fd.h"

namespace kavo {
namespace {

// The far end of a fresh pty; the line settings are those of its terminal side.
class PosixLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(master_) << "no pty";
        ASSERT_EQ(grantpt(master_.Get()), 0);
        ASSERT_EQ(unlockpt(master_.Get()), 0);
        terminal_.Reset(::open(ptsname(master_.Get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(terminal_);
    }
    TUniqueFd master_, terminal_;
};

// A pty keeps 8 data bits without parity whatever it is told, so those two fields need a real
// device; the rate (any rate, through termios2), the stop bits and the flow flags round-trip here.
TEST_F(PosixLineTest, BlockFieldsRoundTripAtAnyRate) {
    struct Row {
        std::uint32_t baud;
        int stopBits;
        bool cts, outX, inX;
    } rows[] = {
        {115200, kOneStopBit, false, false, false},
        {9600, kTwoStopBits, true, false, false},
        {250000, kOneStopBit, false, true, false},  // no Bxxx code for it
        {921600, kTwoStopBits, false, false, true},
        {1200, kOneStopBit, true, true, true},
    };
    ASSERT_EQ(posix_line::MakeRaw(terminal_.Get()), 0);
    for (const Row& row : rows) {
        TDeviceBlock wanted;
        wanted.baud = row.baud;
        wanted.stopBits = row.stopBits;
        wanted.outxCtsFlow = row.cts;
        wanted.outX = row.outX;
        wanted.inX = row.inX;
        ASSERT_EQ(posix_line::WriteBlock(terminal_.Get(), wanted), 0) << row.baud;
        TDeviceBlock read;
        read.parity = kParitySpace;  // fields the device holds are all overwritten
        read.dataBits = 5;
        ASSERT_EQ(posix_line::ReadBlock(terminal_.Get(), read), 0);
        EXPECT_EQ(read.baud, row.baud);
        EXPECT_EQ(read.parity, kParityNone) << row.baud;
        EXPECT_EQ(read.dataBits, 8) << row.baud;
        EXPECT_EQ(read.stopBits, row.stopBits) << row.baud;
        EXPECT_EQ(read.outxCtsFlow, row.cts) << row.baud;
        EXPECT_EQ(read.outX, row.outX) << row.baud;
        EXPECT_EQ(read.inX, row.inX) << row.baud;
    }
    TDeviceBlock zero;
    zero.baud = 0;
    EXPECT_EQ(posix_line::WriteBlock(terminal_.Get(), zero), -EINVAL);
}

TEST_F(PosixLineTest, SavedSettingsComeBackAndNonTerminalsAreTold) {
    posix_line::SavedLine saved;
    ASSERT_EQ(posix_line::SaveLine(terminal_.Get(), saved), 0);
    TDeviceBlock before;
    ASSERT_EQ(posix_line::ReadBlock(terminal_.Get(), before), 0);
    TDeviceBlock changed = before;
    changed.baud = before.baud == 4800 ? 2400 : 4800;
    changed.dataBits = 7;
    ASSERT_EQ(posix_line::WriteBlock(terminal_.Get(), changed), 0);
    posix_line::RestoreLine(terminal_.Get(), saved);
    TDeviceBlock after;
    ASSERT_EQ(posix_line::ReadBlock(terminal_.Get(), after), 0);
    EXPECT_EQ(after.baud, before.baud);
    EXPECT_EQ(after.dataBits, before.dataBits);

    TUniqueFd file(::open("/dev/null", O_RDWR | O_CLOEXEC));
    posix_line::SavedLine notSaved;
    EXPECT_EQ(posix_line::SaveLine(file.Get(), notSaved), -ENOTTY);
}

TEST_F(PosixLineTest, PurgeDropsWhatWaitsOnEitherSide) {
    ASSERT_EQ(posix_line::MakeRaw(terminal_.Get()), 0);
    ASSERT_EQ(::write(master_.Get(), "abc", 3), 3);
    pollfd arrived{terminal_.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 10000), 1);  // the bytes wait on the terminal side
    ASSERT_EQ(posix_line::Purge(terminal_.Get(), true), 0);
    ASSERT_EQ(::fcntl(terminal_.Get(), F_SETFL, O_NONBLOCK), 0);
    char byte;
    EXPECT_EQ(::read(terminal_.Get(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(posix_line::Purge(terminal_.Get(), false), 0);
}

}  // namespace
}  // namespace kavo
