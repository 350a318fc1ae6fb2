// The download sequence with a window that records: start-up, the send sequence's early stops,
// the message line and its timer, the hidden bar, the end of a transfer and the settings.
#include "app/download_sequence.h"
#include "app/usb_mode.h"
#include "platform/file_io.h"
#include "platform/profile.h"
#include "platform/settings_folder.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace kavo {
namespace {

using namespace std::chrono_literals;
using test::PumpUntil;

class DownloadSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironment("KAVODOWN_CONFIG_DIR", dir_.Path().string().c_str());
        // COM10 and COM2 on purpose: the list is sorted as text.
        SetEnvironment("KAVODOWN_PORTS", "1=/dev/null,2=/dev/null,10=/dev/null");
        std::ofstream(firmware_) << std::string(2500, 'x');
        // A sequence in USB mode ends its process when any volume goes away: one that a test
        // running beside these unmounts must not end this test program.
        SetUsbModeExit([](int) {});
    }
    void TearDown() override {
        SetUsbModeExit(nullptr);
        SetEnvironment("KAVODOWN_CONFIG_DIR", nullptr);
        SetEnvironment("KAVODOWN_PORTS", nullptr);
    }
    std::string ReadOption(const std::string& key) {
        return ReadProfileString("OPTION", key, ini_).value_or("<missing>");
    }
    std::unique_ptr<TDownloadSequence> Start(const std::vector<std::string>& arguments = {}) {
        auto sequence = std::make_unique<TDownloadSequence>(view_);
        sequence->FormCreate(arguments);
        return sequence;
    }

    test::TempDir dir_{"kavo_sequence"};
    std::string ini_ = (dir_ / "Option.ini").string();
    std::string firmware_ = (dir_ / "fw.bin").string();
    test::RecordingView view_;
};

// The port list comes from KAVODOWN_PORTS on Linux and from the system's serial port map on
// Windows, so the cases that look at the list or at the saved port are Linux's alone.
#ifndef _WIN32
TEST_F(DownloadSequenceTest, StartWithoutArgumentsStaysIdle) {
    auto s = Start();
    ASSERT_EQ(view_.portItems.size(), 3u);
    EXPECT_EQ(view_.portItems[0].text, "1");
    EXPECT_EQ(view_.portItems[1].text, "10");
    EXPECT_EQ(view_.portItems[2].text, "2");
    EXPECT_EQ(view_.portItems[1].device, "/dev/null");
    // No Option.ini: the first entry, and the program's folder in the file field.
    EXPECT_EQ(view_.portText, "1");
    EXPECT_EQ(view_.fileName, ProgramFolder());
    EXPECT_EQ(view_.dialogFolder, ProgramFolder());
    EXPECT_EQ(s->IniPath(), ini_);
    EXPECT_EQ(s->TevoComNumber(), 1);
    EXPECT_FALSE(s->TM.Enabled());
    EXPECT_TRUE(s->StartupError().empty());
    PumpUntil([] { return false; }, 700ms);
    EXPECT_TRUE(view_.message.empty());
    EXPECT_FALSE(s->Sending());
}

TEST_F(DownloadSequenceTest, SavedSettingsAreReadAndOddValuesHandled) {
    std::ofstream(ini_) << "[OPTION]\nPORT=2\nFNAME=" << firmware_ << "\n";
    auto saved = Start();
    EXPECT_EQ(view_.portText, "2");
    EXPECT_EQ(view_.fileName, firmware_);
    EXPECT_EQ(saved->TevoComNumber(), 2);

    std::ofstream(ini_, std::ios::trunc) << "[OPTION]\nPORT=abc\n";
    Start();
    EXPECT_EQ(view_.portText, "1");  // not a number: index 0

    // An index outside the list selects nothing; the empty text does not convert at step 6, so
    // start-up ends there and the number stays 0.
    std::ofstream(ini_, std::ios::trunc) << "[OPTION]\nPORT=7\nFNAME=" << firmware_ << "\n";
    auto outside = Start();
    EXPECT_EQ(outside->PortItemIndex(), -1);
    EXPECT_TRUE(view_.portText.empty());
    EXPECT_EQ(view_.fileName, firmware_);
    EXPECT_EQ(outside->TevoComNumber(), 0);
    EXPECT_FALSE(outside->StartupError().empty());
}

TEST_F(DownloadSequenceTest, SettingsAreWrittenWhenTheSequenceGoes) {
    {
        auto s = Start();
        view_.portText = "2";
        view_.fileName = firmware_;
        s->BT_EXITClick();
        EXPECT_TRUE(view_.closed);
        EXPECT_EQ(s->ExitCode(), 0);
    }
    EXPECT_EQ(ReadOption("PORT"), "2");
    EXPECT_EQ(ReadOption("FNAME"), firmware_);
    {
        auto s = Start();
        EXPECT_EQ(view_.portText, "2");
        view_.portText = "77";  // a number that is not in the list
    }
    EXPECT_EQ(ReadOption("PORT"), "-1");
}
#endif

TEST_F(DownloadSequenceTest, ArgumentsSetPortFileAndUsbModeAndStartAfter500ms) {
    auto s = Start({"5", firmware_, "usb"});
    EXPECT_EQ(view_.portText, "5");
    EXPECT_EQ(view_.fileName, firmware_);
    EXPECT_TRUE(view_.usb);
    EXPECT_EQ(s->TevoComNumber(), 5);
    EXPECT_TRUE(s->AutoStartPending());
    // TMTimer disables TM and runs the send sequence once: the bar is sized for the file.
    ASSERT_TRUE(PumpUntil([&] { return !s->TM.Enabled(); }, 5s));
    EXPECT_EQ(view_.progressMax, 2);
    EXPECT_EQ(s->PbarMaximum(), 2);
}

TEST_F(DownloadSequenceTest, ModeWordAndFirstArgumentRules) {
    Start({"1", firmware_, "xxUsBxx"});
    EXPECT_TRUE(view_.usb);
    view_.usb = false;
    Start({"1", firmware_, "serial"});
    EXPECT_FALSE(view_.usb);
    EXPECT_TRUE(Start({"1"})->AutoStartPending());  // any argument starts the sequence
    // A first argument that is not a bare number stops start-up before TM is enabled.
    auto com3 = Start({"COM3", firmware_});
    EXPECT_EQ(view_.portText, "COM3");
    EXPECT_EQ(view_.fileName, firmware_);
    EXPECT_FALSE(com3->AutoStartPending());
    EXPECT_EQ(com3->TevoComNumber(), 0);
    EXPECT_EQ(com3->StartupError(), "'COM3' is not a valid integer value");
}

TEST_F(DownloadSequenceTest, PortTextThatIsNotANumberIsAConversionErrorAndKeepsTheNumber) {
    auto s = Start();
    std::vector<std::string> errors;
    s->SetErrorDisplay([&](const std::string& text) { errors.push_back(text); });
    view_.portText = "1x";
    s->Guard([&] { s->CB_PORTChange(); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "'1x' is not a valid integer value");
    EXPECT_EQ(s->TevoComNumber(), 1);
    view_.portText = "12";
    s->CB_PORTChange();
    EXPECT_EQ(s->TevoComNumber(), 12);
    EXPECT_EQ(s->AppliedPortText(), "12");
}

TEST_F(DownloadSequenceTest, ErrorsGoToTheBoxOnlyWhileSomeoneCanSeeIt) {
    auto s = Start();
    s->ShowError("unseen");
    EXPECT_TRUE(view_.errorBoxes.empty());  // to the standard error instead
    view_.attended = true;
    s->ShowError("seen");
    EXPECT_EQ(view_.errorBoxes, std::vector<std::string>{"seen"});
}

TEST_F(DownloadSequenceTest, MissingFileShowsTheMessageAndOpensNothing) {
    auto s = Start();
    std::vector<TSendStop> stops;
    s->SetSendStopHook([&](TSendStop stop, std::exception_ptr) { stops.push_back(stop); });
    const std::string paths[] = {std::string(), dir_.Path().string(), (dir_ / "none.bin").string()};
    for (const std::string& path : paths) {
        view_.fileName = path;
        view_.message.clear();
        s->BT_SENDClick();
        EXPECT_EQ(view_.message, "파일이 존재 하지 않습니다!") << path;
        EXPECT_TRUE(s->TmMsg.Enabled());
        EXPECT_TRUE(view_.sendEnabled);
    }
    EXPECT_EQ(stops, std::vector<TSendStop>(3, ssFileMissing));
}

TEST_F(DownloadSequenceTest, BarMaximumIsTheSizeInThousandsRoundedHalfToEven) {
    auto s = Start();
    const std::pair<int, int> cases[] = {{2500, 2}, {1499, 1}, {499, 0}, {1500, 2},
                                         {3500, 4}, {500, 0},  {501, 1}, {0, 0}};
    for (auto [size, maximum] : cases) {
        std::ofstream(firmware_, std::ios::trunc) << std::string(size, 'x');
        view_.fileName = firmware_;
        s->BT_SENDClick();
        EXPECT_EQ(view_.progressMax, maximum) << size;
        EXPECT_EQ(s->PbarPosition(), 0);
    }
}

TEST_F(DownloadSequenceTest, OnlyPlainStatusReportsAdvanceTheBarEvenPastItsMaximum) {
    auto s = Start();
    std::ofstream(firmware_, std::ios::trunc) << std::string(2000, 'x');
    view_.fileName = firmware_;
    s->BT_SENDClick();  // sizes the bar (2); the port does not open
    s->ApdProtocolProtocolStatus(1);
    s->ApdProtocolProtocolStatus(2);
    EXPECT_EQ(s->PbarPosition(), 0);
    s->ApdProtocolProtocolStatus(0);
    s->ApdProtocolProtocolStatus(0);
    EXPECT_EQ(s->PbarPosition(), 20);
    EXPECT_EQ(view_.progressPosition, 2);
}

TEST_F(DownloadSequenceTest, SecondMessageRestartsTheFiveSeconds) {
    auto s = Start();
    s->ShowMsg("first");
    PumpUntil([] { return false; }, 2000ms);
    s->ShowMsg("second");
    const auto sinceSecond = std::chrono::steady_clock::now();
    EXPECT_EQ(view_.message, "second");
    ASSERT_TRUE(PumpUntil([&] { return view_.message.empty(); }, 15s));
    // The first message's count would have ended about 3 s after the second; a restarted count
    // ends 5 s after it. Timers run late under load, never early, so only the lower bound holds.
    EXPECT_GE(std::chrono::steady_clock::now() - sinceSecond, 4900ms);
    EXPECT_FALSE(s->TmMsg.Enabled());
}

TEST_F(DownloadSequenceTest, FinishAndErrorEventsCloseTheWindowFailureGivesExitCodeTwo) {
    for (int code : {0, -6005}) {
        view_.closed = false;
        auto s = Start();
        int closedCalls = 0;
        s->SetOnClosed([&] { ++closedCalls; });
        s->ApdProtocolProtocolFinish(code);
        EXPECT_TRUE(view_.closed);
        EXPECT_TRUE(s->Closed());
        EXPECT_EQ(closedCalls, 1);
        EXPECT_EQ(s->ExitCode(), code == 0 ? 0 : 2);
        s->ApdProtocolProtocolFinish(code);  // a late second finish changes nothing
        EXPECT_EQ(closedCalls, 1);
    }
}

TEST_F(DownloadSequenceTest, FileDialogAnswerReplacesTheFileUnlessCancelled) {
    auto s = Start();
    view_.fileName = firmware_;
    s->BT_FILEClick();
    EXPECT_EQ(view_.fileName, firmware_);
    view_.chosenFile = "/elsewhere/new.bin";
    s->BT_FILEClick();
    EXPECT_EQ(view_.fileName, "/elsewhere/new.bin");
}

}  // namespace
}  // namespace kavo
