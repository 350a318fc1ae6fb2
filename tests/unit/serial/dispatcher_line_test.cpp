#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "serial/error_codes.h"

namespace kavo::test {
namespace {

class LineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(d.Open(100), 0); }
    FakeDispatcher d;
};

TEST(LegacyBaudCodes, CodesMapToRatesAndGapsStayAsTheyAre) {
    EXPECT_EQ(BaudFromCode(0xFEFF), 115200u);
    EXPECT_EQ(BaudFromCode(0xFF10), 110u);
    EXPECT_EQ(BaudFromCode(0xFF16), 9600u);
    EXPECT_EQ(BaudFromCode(0xFF1B), 38400u);
    EXPECT_EQ(BaudFromCode(0xFF1F), 56000u);
    EXPECT_EQ(BaudFromCode(0xFF27), 256000u);
    EXPECT_EQ(BaudFromCode(0xFF19), 0xFF19u);  // a gap of the table
    EXPECT_EQ(BaudFromCode(0xFF28), 0xFF28u);
    EXPECT_EQ(BaudFromCode(57600), 57600u);
}

TEST_F(LineTest, UnchangedSettingsDoNotTouchTheDevice) {
    int before = d.setStates;
    EXPECT_EQ(d.SetLineSettings(115200, kParityNone, 8, 1), 0);
    EXPECT_EQ(d.SetLineSettings(0, 5, 9, 3), 0);
    EXPECT_EQ(d.setStates, before);
    EXPECT_EQ(d.SetLineSettings(0xFF12, 5, 9, 3), 0);  // legacy code for 600
    EXPECT_EQ(d.setStates, before + 1);
    std::uint32_t baud;
    int parity, dataBits, stopBits;
    d.GetLineSettings(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 600u);
    EXPECT_EQ(dataBits, 8);
    EXPECT_EQ(stopBits, 1);
}

TEST_F(LineTest, StopBitsAreNormalisedAndFiveDataBitsUseOneAndAHalf) {
    EXPECT_EQ(d.SetLineSettings(0, kParityEven, 7, 7), 0);
    EXPECT_EQ(d.block.stopBits, kTwoStopBits);
    EXPECT_EQ(d.block.parity, kParityEven);
    EXPECT_EQ(d.SetLineSettings(0, 5, 8, 0), 0);
    EXPECT_EQ(d.block.stopBits, kOneStopBit);
    EXPECT_EQ(d.SetLineSettings(0, 5, 5, 2), 0);
    EXPECT_EQ(d.block.stopBits, kOne5StopBits);
    d.refuseState = true;
    EXPECT_EQ(d.SetLineSettings(9600, 5, 8, 1), -22);
}

TEST_F(LineTest, LineErrorsAreTakenInOrderAndBreakStaysForItsOwnQuery) {
    d.pendingErrors = leOverrun | leBreak;
    d.RefreshLineStatus();
    EXPECT_EQ(d.TakeLineError(), 2);
    EXPECT_EQ(d.LineErrorWord(), leBreak);
    EXPECT_EQ(d.TakeLineError(), 9);
    EXPECT_TRUE(d.TakeLineBreak());
    EXPECT_FALSE(d.TakeLineBreak());
    EXPECT_EQ(d.TakeLineError(), 0);
    d.pendingErrors = leFraming | leParity | leOverflow;
    d.RefreshLineStatus();
    EXPECT_EQ(d.TakeLineError(), 1);
    EXPECT_EQ(d.TakeLineError(), 0);  // 0x0F went with the first take
}

TEST_F(LineTest, FlowMarksAreCheckedAndHardwareFlowSetsTheLines) {
    EXPECT_EQ(d.SetHardwareFlow(10, 20, 0), ecBadArgument);
    EXPECT_EQ(d.SetHardwareFlow(5000, 0, 0), ecBadArgument);  // above InSize 4096
    EXPECT_EQ(d.SetSoftwareFlow(10, 20, 3), ecBadArgument);
    EXPECT_EQ(d.SetHardwareFlow(0, 0, 0), 0);
    EXPECT_EQ(d.block.dtrControl, kLineControlEnable);  // both were raised at open
    EXPECT_EQ(d.block.rtsControl, kLineControlEnable);
    EXPECT_EQ(d.SetHardwareFlow(3000, 1000, 2 | 8), 0);
    EXPECT_EQ(d.block.rtsControl, kLineControlHandshake);
    EXPECT_TRUE(d.block.outxCtsFlow);
    EXPECT_EQ(d.block.xoffLim, 4096u - 3000u);
    EXPECT_EQ(d.block.xonLim, 1000u);
    EXPECT_EQ(d.DriveRts(false), 1);  // under flow control: nothing done
    EXPECT_EQ(d.DriveDtr(false), 0);
    EXPECT_EQ(d.block.dtrControl, kLineControlEnable);  // the block is applied by the next write
    EXPECT_EQ(d.SetSoftwareFlow(100, 50, 1), 0);
    EXPECT_TRUE(d.block.outX);
    EXPECT_FALSE(d.block.inX);
    EXPECT_EQ(d.block.xonChar, 0x11);
    EXPECT_EQ(d.SetFlowChars('a', 'b'), 0);
    EXPECT_EQ(d.block.xoffChar, 'b');
    EXPECT_EQ(d.ClearSoftwareFlow(), 0);
    EXPECT_FALSE(d.block.outX);
    d.refuseEscape = true;
    EXPECT_EQ(d.DriveDtr(true), ecBadArgument);
}

TEST_F(LineTest, ModemStatusKeepsChangeBitsUntilTaken) {
    d.levels = msDcd | msCts;
    d.UpdateModemChanges();
    EXPECT_EQ(d.ModemStatus(), msDcd | msCts | msDcdDelta | msCtsDelta);
    EXPECT_TRUE(d.CarrierPresent());
    EXPECT_EQ(d.ModemStatus(), msDcd | msCts | msCtsDelta);  // only the carrier change went
    d.levels = 0;
    EXPECT_FALSE(d.CarrierPresent());
}

TEST_F(LineTest, BreakIsSetAndClearedAndFlagsAreKept) {
    d.SendLineBreak(0, false);
    EXPECT_EQ(d.breaks, (std::vector<bool>{true, false}));
    d.SetFlagBits(4 | 1);
    d.ClearFlagBits(1);
    EXPECT_EQ(d.FlagBits(), 4u);
}

}  // namespace
}  // namespace kavo::test
