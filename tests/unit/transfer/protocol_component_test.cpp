#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "serial/errors.h"
#include "transfer/protocol.h"

namespace kavo::test {
namespace {

// A status display that records the updates it gets.
class RecordingStatus : public TApdAbstractStatus {
public:
    using TApdAbstractStatus::TApdAbstractStatus;
    void CreateDisplay() override {}
    void DestroyDisplay() override {}
    void UpdateDisplay(bool first, bool last) override { calls->push_back(std::string("display ") + (first ? "F" : "-") + (last ? "L" : "-")); }
    std::vector<std::string>* calls = nullptr;
};

LRESULT Send(TApdCustomProtocol& protocol, std::uint32_t msg, WPARAM w, LPARAM l) {
    LRESULT result = -1;
    EXPECT_TRUE(SendMessageTimeout(protocol.MessageWindow(), msg, w, l, 1000, &result));
    return result;
}

WPARAM Code(std::int32_t code) { return static_cast<WPARAM>(static_cast<std::uint16_t>(code)); }

TEST(ProtocolComponent, CreationValues) {
    TApdProtocol protocol;
    EXPECT_EQ(protocol.ProtocolType(), ptNoProtocol);
    EXPECT_EQ(protocol.ComPort(), nullptr);
    EXPECT_EQ(protocol.HandshakeRetry(), 10u);
    EXPECT_EQ(protocol.HandshakeWait(), 182u);
    EXPECT_EQ(protocol.TransmitTimeout(), 1092u);
    EXPECT_EQ(protocol.FinishWait(), 364u);
    EXPECT_EQ(protocol.TurnDelay(), 0u);
    EXPECT_EQ(protocol.Overhead(), 0u);
    EXPECT_EQ(protocol.FileMask(), "*.*");
    EXPECT_EQ(protocol.DestinationDirectory(), "");
    EXPECT_EQ(protocol.StatusInterval(), 10u);
    EXPECT_EQ(protocol.XYmodemBlockWait(), 91u);
    EXPECT_EQ(protocol.WriteFailAction(), wfWriteRename);
    EXPECT_TRUE(protocol.UpcaseFileNames());
    EXPECT_FALSE(protocol.AbortNoCarrier());
    EXPECT_FALSE(protocol.HonorDirectory());
    EXPECT_EQ(protocol.KermitMaxLen(), 80u);
    EXPECT_EQ(protocol.KermitTimeoutSecs(), 5u);
    EXPECT_EQ(protocol.KermitTerminator(), 13);
    EXPECT_EQ(protocol.KermitCtlPrefix(), '#');
    EXPECT_EQ(protocol.KermitHighbitPrefix(), 'Y');
    EXPECT_EQ(protocol.KermitRepeatPrefix(), '~');
    EXPECT_EQ(protocol.AsciiEOLChar(), 13);
    EXPECT_EQ(protocol.AsciiEOFTimeout(), 364u);
    EXPECT_EQ(protocol.ZmodemFileOption(), zfoWriteNewer);
    EXPECT_EQ(protocol.Version(), "v4.06");
    EXPECT_FALSE(protocol.InProgress());
    EXPECT_EQ(protocol.KermitWindows(), 0u);
    EXPECT_NE(protocol.MessageWindow(), 0u);
}

TEST(ProtocolComponent, SelectingXmodem1KSetsTheEngineUp) {
    TApdProtocol protocol;
    protocol.SetAbortNoCarrier(true);
    EXPECT_EQ(protocol.Data().Options, OptAbortNoCarrier);
    protocol.SetAbortNoCarrier(false);
    protocol.SetProtocolType(ptXmodem1K);
    EXPECT_EQ(protocol.ProtocolType(), ptXmodem1K);
    EXPECT_EQ(protocol.BlockLength(), 1024u);
    EXPECT_EQ(protocol.BlockCheckMethod(), bcmCrc16);
    EXPECT_EQ(protocol.Overhead(), 5u);
    EXPECT_EQ(protocol.TurnDelay(), 1000u);
    EXPECT_EQ(protocol.FinishWait(), 0u);
    EXPECT_EQ(protocol.XYmodemBlockWait(), 91u);

    protocol.SetBlockCheckMethod(bcmChecksum);  // the receiver decides for XMODEM-1K
    EXPECT_EQ(protocol.BlockCheckMethod(), bcmCrc16);

    protocol.SetXYmodemBlockWait(40);
    EXPECT_EQ(protocol.Data().XYmodemBlockWait, 40u);
    protocol.SetProtocolType(ptNoProtocol);
    EXPECT_EQ(protocol.XYmodemBlockWait(), 40u);  // the stored value
    protocol.SetProtocolType(ptXmodemCRC);
    EXPECT_EQ(protocol.Data().XYmodemBlockWait, 40u);  // re-applied
}

TEST(ProtocolComponent, BlockCheckSwitchesBetweenPlainXmodemTypes) {
    TApdProtocol protocol;
    protocol.SetProtocolType(ptXmodem);
    EXPECT_EQ(protocol.BlockCheckMethod(), bcmChecksum);
    protocol.SetBlockCheckMethod(bcmCrc16);
    EXPECT_EQ(protocol.ProtocolType(), ptXmodemCRC);
    protocol.SetBlockCheckMethod(bcmChecksum);
    EXPECT_EQ(protocol.ProtocolType(), ptXmodem);
    protocol.SetBlockCheckMethod(bcmCrc32);  // not for XMODEM
    EXPECT_EQ(protocol.BlockCheckMethod(), bcmChecksum);
}

TEST(ProtocolComponent, AnEngineThatIsNotBuiltInRaisesAndKeepsTheType) {
    TApdProtocol protocol;
    protocol.SetProtocolType(ptXmodem1K);
    EXPECT_THROW(protocol.SetProtocolType(ptZmodem), EAPDException);
    EXPECT_EQ(protocol.ProtocolType(), ptXmodem1K);
}

TEST(ProtocolComponent, FindsItsPortAndStatusAmongTheOwnersComponents) {
    TComponent owner;
    auto* port = new TApdComPort(&owner);
    auto* status = new RecordingStatus(&owner);
    auto* protocol = new TApdProtocol(&owner);
    EXPECT_EQ(protocol->ComPort(), port);
    EXPECT_EQ(protocol->StatusDisplay(), status);
    EXPECT_EQ(status->Protocol(), protocol);

    delete status;
    EXPECT_EQ(protocol->StatusDisplay(), nullptr);
    delete port;
    EXPECT_EQ(protocol->ComPort(), nullptr);
    EXPECT_EQ(protocol->Data().ComPort, nullptr);

    auto* later = new TApdComPort(&owner);  // placed later: taken as the port at the next start
    protocol->SetProtocolType(ptXmodem1K);
    std::optional<std::int32_t> finish;
    protocol->SetOnProtocolFinish([&](TApdCustomProtocol*, std::int32_t code) { finish = code; });
    protocol->BeginTransmit();
    EXPECT_EQ(protocol->ComPort(), later);
    ProcessMessages();
    ASSERT_TRUE(finish.has_value());
    EXPECT_EQ(*finish, -103);  // that port is not open
}

TEST(ProtocolComponent, StartingWithoutTypeOrPort) {
    TApdProtocol protocol;
    EXPECT_NO_THROW(protocol.BeginTransmit());  // ptNoProtocol: nothing
    protocol.SetProtocolType(ptXmodem1K);
    try {
        protocol.BeginTransmit();
        FAIL() << "no exception";
    } catch (const EPortNotAssigned& e) {
        EXPECT_EQ(e.ErrorCode(), -1005);
        EXPECT_STREQ(e.what(), "ComPort component not assigned");
    }
    EXPECT_NO_THROW(protocol.CancelTransfer());  // nothing in progress
}

TEST(ProtocolComponent, StatusReportsUpdateTheDisplayBeforeTheEvent) {
    TComponent owner;
    std::vector<std::string> calls;
    auto* status = new RecordingStatus(&owner);
    status->calls = &calls;
    auto* protocol = new TApdProtocol(&owner);
    protocol->SetOnProtocolStatus([&](TApdCustomProtocol* cp, std::uint16_t options) {
        EXPECT_EQ(cp, protocol);
        calls.push_back("event " + std::to_string(options));
    });
    Send(*protocol, ProtocolStatusMsg, 1, 0);
    Send(*protocol, ProtocolStatusMsg, 0, 0);
    Send(*protocol, ProtocolStatusMsg, 2, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"display F-", "event 1", "display --", "event 0", "display -L", "event 2"}));
}

TEST(ProtocolComponent, ErrorAndFinishCodesArriveSignExtended) {
    TApdProtocol protocol;
    std::vector<std::int32_t> errors, finishes;
    protocol.SetOnProtocolError([&](TApdCustomProtocol*, std::int32_t code) { errors.push_back(code); });
    protocol.SetOnProtocolFinish([&](TApdCustomProtocol*, std::int32_t code) { finishes.push_back(code); });
    Send(protocol, ProtocolErrorMsg, Code(-6005), 0);
    Send(protocol, ProtocolErrorMsg, Code(-2), 0);
    Send(protocol, ProtocolFinishMsg, Code(-6016), 0);
    Send(protocol, ProtocolFinishMsg, Code(0), 0);
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-6005, -2}));
    EXPECT_EQ(finishes, (std::vector<std::int32_t>{-6016, 0}));
}

TEST(ProtocolComponent, NextFileComesFromTheEventOrTheMask) {
    TApdProtocol protocol;
    std::vector<std::int32_t> errors;
    protocol.SetOnProtocolError([&](TApdCustomProtocol*, std::int32_t code) { errors.push_back(code); });
    char buffer[MaxPathLength + 1];
    std::memset(buffer, 'x', sizeof buffer);

    protocol.SetFileMask("/nonexistent-folder-of-kavo/fw.bin");
    protocol.Data().FirstSearch = true;
    EXPECT_EQ(Send(protocol, ProtocolNextFileMsg, 0, reinterpret_cast<LPARAM>(buffer)), 0);
    EXPECT_EQ(errors, (std::vector<std::int32_t>{-6004}));

    protocol.SetOnProtocolNextFile([](TApdCustomProtocol*, std::string& name) { name = "/tmp/chosen.bin"; });
    EXPECT_EQ(Send(protocol, ProtocolNextFileMsg, 0, reinterpret_cast<LPARAM>(buffer)), 1);
    EXPECT_STREQ(buffer, "/tmp/chosen.bin");

    protocol.SetOnProtocolNextFile([](TApdCustomProtocol*, std::string& name) { name.clear(); });
    EXPECT_EQ(Send(protocol, ProtocolNextFileMsg, 0, reinterpret_cast<LPARAM>(buffer)), 0);
}

TEST(ProtocolComponent, AcceptAndResumeAnswers) {
    TApdProtocol protocol;
    char buffer[MaxPathLength + 1] = "incoming.bin";
    EXPECT_EQ(Send(protocol, ProtocolAcceptFileMsg, 0, reinterpret_cast<LPARAM>(buffer)), 1);
    protocol.SetOnProtocolAccept([](TApdCustomProtocol*, bool& accept, std::string&) { accept = false; });
    EXPECT_EQ(Send(protocol, ProtocolAcceptFileMsg, 0, reinterpret_cast<LPARAM>(buffer)), 0);
    EXPECT_EQ(Send(protocol, ProtocolResumeMsg, wfWriteFail, 0), wfWriteFail);
    protocol.SetOnProtocolResume([](TApdCustomProtocol*, TWriteFailAction& action) { action = wfWriteAnyway; });
    EXPECT_EQ(Send(protocol, ProtocolResumeMsg, wfWriteFail, 0), wfWriteAnyway);
}

TEST(ProtocolComponent, FileNameIsKeptWhileTheWorkFileIsOpen) {
    TApdProtocol protocol;
    protocol.SetDestinationDirectory("/srv");
    protocol.SetFileName("a.bin");
    EXPECT_EQ(protocol.FileName(), "/srv/a.bin");
    protocol.Data().FileOpen = true;
    protocol.SetFileName("b.bin");
    EXPECT_EQ(protocol.FileName(), "/srv/a.bin");
    protocol.Data().FileOpen = false;
}

TEST(ProtocolComponent, FiguresForTheStatusWindow) {
    TApdProtocol protocol;
    protocol.SetProtocolType(ptXmodem1K);
    EXPECT_EQ(TApdCustomProtocol::StatusMessage(4713), "Cancel requested");
    EXPECT_EQ(TApdCustomProtocol::StatusMessage(4730), "");
    protocol.Data().CharsPerSecond = 11520;
    EXPECT_EQ(protocol.BitRate(), 115200u);
    protocol.Data().LastBlockSize = 76;
    EXPECT_EQ(protocol.BlockLength(), 1024u);  // no transfer in progress
    protocol.Data().InProgress = 1;
    EXPECT_EQ(protocol.BlockLength(), 76u);
    protocol.Data().InProgress = 0;
    EXPECT_EQ(protocol.EstimateTransferSecs(92100), 100);
}

}  // namespace
}  // namespace kavo::test
