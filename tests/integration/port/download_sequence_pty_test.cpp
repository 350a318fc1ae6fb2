// The download sequence on a real serial line: a pseudo-terminal whose far end the test plays.
#include "app/download_sequence.h"
#include "app/uutil.h"
#include "pty_pair.h"
#include "serial/com_port.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"
#include "support/volumes_apart.h"
#include "transfer/protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::PumpUntil;

std::string B2S(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// Runs the thread's messages and timers until the future is ready and returns its value.
template <class T>
T PumpFor(std::future<T>& future, std::chrono::milliseconds deadline = 10s) {
    PumpUntil([&] { return future.wait_for(0ms) == std::future_status::ready; }, deadline);
    return future.get();
}

class DownloadSequencePtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KAVODOWN_CONFIG_DIR", dir_.Path().c_str(), 1);
        ::setenv("KAVODOWN_PORTS",
                 ("7=" + pty_.DevicePath() + ",8=" + (dir_ / "missing").string()).c_str(), 1);
        std::ofstream(firmware_) << std::string(3000, 'F');
    }
    void TearDown() override {
        ::unsetenv("KAVODOWN_CONFIG_DIR");
        ::unsetenv("KAVODOWN_PORTS");
    }
    // A sequence set to COM7 and the firmware file, or started with `arguments`.
    std::unique_ptr<TDownloadSequence> Start(const std::vector<std::string>& arguments = {}) {
        auto s = std::make_unique<TDownloadSequence>(view_);
        s->FormCreate(arguments);
        if (arguments.empty()) {
            view_.portText = "7";
            s->CB_PORTChange();
            view_.fileName = firmware_;
        }
        return s;
    }

    sim::PtyPair pty_;
    test::TempDir dir_{"kavo_seqport"};
    std::string firmware_ = dir_ / "fw.bin";
    test::RecordingView view_;
};

TEST_F(DownloadSequencePtyTest, DddIsAnsweredWithAckAndTheSequenceGoesOnToTheTransfer) {
    auto s = Start();
    view_.ddd = true;
    auto peer = std::async(std::launch::async, [this] {
        Bytes wake = pty_.Read(3, 10s);
        if (wake == Bytes{'D', 'D', 'D'}) pty_.Write(Bytes{kACK});
        return wake;
    });
    s->BT_SENDClick();
    EXPECT_EQ(PumpFor(peer), (Bytes{'D', 'D', 'D'}));
    // The ACK let the sequence go on to the transfer: the protocol got the file itself, not as
    // a mask.
    EXPECT_EQ(s->ApdProtocol->FileName(), firmware_);
    EXPECT_EQ(s->ApdProtocol->FileMask(), "*.*");
    EXPECT_TRUE(s->Tevo->Open());
    EXPECT_TRUE(view_.message.empty());
    EXPECT_TRUE(s->Link().RecvBuf().empty());  // the wait took the ACK
    EXPECT_FALSE(view_.sendEnabled);            // the transfer runs
}

TEST_F(DownloadSequencePtyTest, NoAnswerToDddStopsSilentlyWithThePortOpen) {
    auto s = Start();
    view_.ddd = true;
    std::vector<TSendStop> stops;
    s->SetSendStopHook([&](TSendStop stop, std::exception_ptr) { stops.push_back(stop); });
    auto peer = std::async(std::launch::async, [this] { return pty_.Read(3, 10s); });
    const auto start = std::chrono::steady_clock::now();
    s->BT_SENDClick();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(PumpFor(peer), (Bytes{'D', 'D', 'D'}));
    EXPECT_EQ(stops, std::vector<TSendStop>{ssNoAnswer});
    EXPECT_TRUE(view_.message.empty());
    EXPECT_TRUE(s->Tevo->Open());
    EXPECT_TRUE(view_.sendEnabled);
    EXPECT_EQ(s->ApdProtocol->FileMask(), "*.*");  // the transfer was not started
    EXPECT_TRUE(pty_.ReadUntilQuiet(300ms, 2s).empty());  // nothing else went out
    // Changing the port closes it.
    view_.portText = "8";
    s->CB_PORTChange();
    EXPECT_FALSE(s->Tevo->Open());
    EXPECT_EQ(s->TevoComNumber(), 8);
}

TEST_F(DownloadSequencePtyTest, SendSequenceTakesNoSecondPressAndNoPortChange) {
    auto s = Start();
    view_.ddd = true;
    auto peer = std::async(std::launch::async, [this] { return pty_.ReadUntilQuiet(1500ms, 5s); });
    bool sendEnabled = true;
    // While the sequence waits for the answer to "DDD", the operator presses again and types a
    // port number.
    TTimer operatorActs([&] {
        sendEnabled = view_.sendEnabled;
        s->BT_SENDClick();
        view_.portText = "8";
        s->CB_PORTChange();
    });
    operatorActs.SetInterval(300);
    operatorActs.SetSingleShot(true);
    operatorActs.SetEnabled(true);
    s->BT_SENDClick();
    EXPECT_FALSE(sendEnabled);
    EXPECT_EQ(PumpFor(peer), (Bytes{'D', 'D', 'D'}));  // one "DDD", not two
    EXPECT_EQ(s->TevoComNumber(), 7);
    EXPECT_TRUE(view_.sendEnabled);  // the sequence stopped (no answer): input again
}

TEST_F(DownloadSequencePtyTest, ExitButtonDuringTheSendSequenceIsAFailedRun) {
    auto s = Start();
    view_.ddd = true;
    auto peer = std::async(std::launch::async, [this] { return pty_.Read(3, 10s); });
    TTimer operatorExits([&] { s->BT_EXITClick(); });
    operatorExits.SetInterval(300);
    operatorExits.SetSingleShot(true);
    operatorExits.SetEnabled(true);
    s->BT_SENDClick();
    PumpFor(peer);
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(s->ExitCode(), 2);
    EXPECT_FALSE(s->ApdProtocol->InProgress());  // no transfer started after the close

    // With nothing being sent the exit button ends the run as a success.
    view_.closed = false;
    auto idle = Start();
    idle->BT_EXITClick();
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(idle->ExitCode(), 0);
}

TEST_F(DownloadSequencePtyTest, ErrorEventLeavesThePortToTheFinish) {
    // The engine raises its error event from its own thread and waits for the window meanwhile;
    // a window that closed the port there would wait for that thread in turn. The port stays
    // open until the finish, which the engine posts once it is done.
    auto s = Start();
    s->Tevo->SetOpen(true);
    SendMessage(s->ApdProtocol->MessageWindow(), ProtocolErrorMsg,
                static_cast<WPARAM>(static_cast<std::uint16_t>(-6008)), 0);
    EXPECT_TRUE(s->Tevo->Open());
    EXPECT_FALSE(view_.closed);
    SendMessage(s->ApdProtocol->MessageWindow(), ProtocolFinishMsg,
                static_cast<WPARAM>(static_cast<std::uint16_t>(-6008)), 0);
    EXPECT_FALSE(s->Tevo->Open());
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(s->ExitCode(), 2);
}

TEST_F(DownloadSequencePtyTest, PortThatCannotOpenShowsTheMessage) {
    auto s = Start();
    std::vector<TSendStop> stops;
    s->SetSendStopHook([&](TSendStop stop, std::exception_ptr error) {
        stops.push_back(stop);
        EXPECT_TRUE(error);
    });
    view_.portText = "8";
    s->CB_PORTChange();
    s->BT_SENDClick();
    EXPECT_EQ(view_.message, "포트 오픈 실패 !!");
    EXPECT_FALSE(s->Tevo->Open());
    EXPECT_EQ(stops, std::vector<TSendStop>{ssPortFailed});
    EXPECT_TRUE(view_.sendEnabled);
}

TEST_F(DownloadSequencePtyTest, UsbModeOpensThePortAndAnswersReceivedPacketsThreeTimes) {
    // In USB mode any volume that goes away ends the run: other tests' volumes must not reach it.
    KAVO_SKIP_WITHOUT_OWN_MOUNTS();
    auto s = Start({"7", firmware_, "USB"});
    ASSERT_TRUE(PumpUntil([&] { return s->Tevo->Open(); }, 5s));  // TM ran the send sequence
    EXPECT_FALSE(s->ApdProtocol->InProgress());
    EXPECT_TRUE(pty_.ReadUntilQuiet(300ms, 2s).empty());  // nothing was sent

    auto answer = [this](const std::string& packet) {
        return std::async(std::launch::async, [this, packet] {
            // Byte by byte, as a slow terminal would send it.
            for (char c : packet) {
                pty_.Write(std::string(1, c));
                std::this_thread::sleep_for(2ms);
            }
            return pty_.Read(3, 10s);
        });
    };
    auto good = answer(B2S({0x02, 0x10, 0x00, 0x01, 0x41, 0x52}));
    EXPECT_EQ(PumpFor(good), (Bytes{0x06, 0x06, 0x06}));
    auto bad = answer(B2S({0x02, 0x10, 0x00, 0x01, 0x41, 0x50}));
    EXPECT_EQ(PumpFor(bad), (Bytes{0x15, 0x15, 0x15}));
    // A command the tool sends is acknowledged by the peer.
    auto peer = std::async(std::launch::async, [this] {
        Bytes packet = pty_.Read(6, 10s);
        pty_.Write(Bytes{kACK});
        return packet;
    });
    EXPECT_EQ(s->SendCmd(0xD1, u"E"), 0);
    EXPECT_EQ(PumpFor(peer), (Bytes{0x02, 0xD1, 0x00, 0x01, 0x45, 0x97}));
}

}  // namespace
}  // namespace kavo
