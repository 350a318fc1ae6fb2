// kavodown.exe's windows under Wine on a virtual display, driven from outside as an operator
// would (kavo-window-driver.exe presses the buttons and reads the texts), against the Linux line
// and terminal simulators.
//
// Runs where the set-up can (wine_session.h) and a display is there (scripts/test-windows gives
// one with xvfb-run); skips otherwise. The driver finds the windows by their class and caption, so
// the cases run one at a time.
#include "support/read_file.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace kavo::test {
namespace {

using namespace std::chrono_literals;

// The driver's "control" lines by control name: visible, enabled, checked, text.
struct TControlState {
    bool visible = false, enabled = false, checked = false;
    std::string text;
};

class WineWindow : public WineSession {
protected:
    void SetUp() override {
        WineSession::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (Environment("DISPLAY").empty()) GTEST_SKIP() << "no display (run under xvfb-run)";
        driver_ = (fs::path(exe_).parent_path() / "kavo-window-driver.exe").string();
        ASSERT_TRUE(fs::exists(driver_)) << driver_;
    }

    // kavodown.exe with its window; ends with the test unless waited for.
    std::unique_ptr<ChildProcess> Open(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"wine", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return Start(argv, ChildProcess::Output::Null, ChildProcess::Output::Capture);
    }

    // The driver's steps; their lines split at tabs. Fails the test when a step failed.
    std::vector<std::vector<std::string>> Drive(const std::vector<std::string>& steps) {
        std::vector<std::string> argv{"wine", driver_};
        argv.insert(argv.end(), steps.begin(), steps.end());
        auto driver = Start(argv, ChildProcess::Output::Capture, ChildProcess::Output::Capture);
        const std::string out = driver->ReadAll(150s);
        EXPECT_EQ(driver->Wait(30s).value_or(-1), 0) << out;
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : Lines(out)) {
            std::vector<std::string> fields;
            std::size_t start = 0;
            for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
                fields.push_back(line.substr(start, tab - start));
            fields.push_back(line.substr(start));
            rows.push_back(fields);
        }
        return rows;
    }

    static int ExitOf(ChildProcess& program) { return program.Wait(120s).value_or(-1); }

    std::string driver_;
};

std::map<std::string, TControlState> Controls(const std::vector<std::vector<std::string>>& rows) {
    std::map<std::string, TControlState> controls;
    for (const auto& row : rows) {
        if (row.size() == 6 && row[0] == "control")
            controls[row[1]] = {row[2] == "1", row[3] == "1", row[4] == "1", row[5]};
    }
    return controls;
}

const std::vector<std::string>* Row(const std::vector<std::vector<std::string>>& rows,
                                    const std::string& kind) {
    for (const auto& row : rows)
        if (!row.empty() && row[0] == kind) return &row;
    return nullptr;
}

TEST_F(WineWindow, MainWindowControlsAndTextsAndTheExitButton) {
    auto program = Open({});
    const auto rows = Drive({"main", "click:BT_EXIT"});
    const auto* window = Row(rows, "window");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ((*window)[1], "Kavo Serial Download 2.0");
    EXPECT_EQ((*window)[2], "511x215");
    EXPECT_EQ((*window)[3], "0") << "no title-bar buttons";
    EXPECT_EQ((*window)[4], "1") << "centred";
    auto controls = Controls(rows);
    EXPECT_EQ(controls["GroupBox1"].text, " 연결 ");
    EXPECT_EQ(controls["Label1"].text, "포트");
    EXPECT_EQ(controls["BT_EXIT"].text, "종료");
    EXPECT_EQ(controls["GroupBox2"].text, " 파일선택 ");
    EXPECT_EQ(controls["BT_SEND"].text, "  전     송");
    EXPECT_EQ(controls["CB_USB"].text, "USB Mode");
    EXPECT_FALSE(controls["CB_USB"].enabled) << "USB Mode is never the operator's choice";
    EXPECT_EQ(controls["CB_DDD"].text, "DDD Start");
    EXPECT_TRUE(controls["CB_DDD"].enabled);
    EXPECT_FALSE(controls["Pbar"].visible) << "the progress bar is never shown";
    EXPECT_TRUE(controls["BT_SEND"].visible && controls["BT_SEND"].enabled);
    EXPECT_EQ(ExitOf(*program), 0);
}

TEST_F(WineWindow, SendButtonDeliversTheFile) {
    StartLine();
    auto terminal = StartTerminal({});
    auto program = Open({});
    Drive({"port:" + Com(), "file:" + WindowsPath(firmware_), "click:BT_SEND"});
    EXPECT_EQ(ExitOf(*program), 0);
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
}

TEST_F(WineWindow, CommandLineSendsByItselfWithTheStatusWindow) {
    // A paced line keeps the status window up for some seconds, long enough to be read.
    StartLine({"--baud", "57600"});
    auto terminal = StartTerminal({});
    auto program = Open({Com(), WindowsPath(firmware_)});
    const auto rows = Drive({"status"});
    const auto* status = Row(rows, "status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ((*status)[1], "Protocol Status");
    std::vector<std::string> fields;
    for (const auto& row : rows)
        if (row.size() == 2 && row[0] == "field") fields.push_back(row[1]);
    for (const char* caption : {"Cancel", "firmware.bin"})
        EXPECT_NE(std::find(fields.begin(), fields.end(), caption), fields.end()) << caption;
    EXPECT_EQ(ExitOf(*program), 0);
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
}

TEST_F(WineWindow, CancelInTheStatusWindowEndsWithTwo) {
    StartLine({"--baud", "9600"});
    auto terminal = StartTerminal({});
    auto program = Open({Com(), WindowsPath(firmware_)});
    Drive({"status", "cancel"});
    EXPECT_EQ(ExitOf(*program), 2);
}

TEST_F(WineWindow, PortZeroAsksForThePort) {
    StartLine();
    auto terminal = StartTerminal({});
    auto program = Open({"0", WindowsPath(firmware_)});
    const auto rows = Drive({"prompt:COM" + Com()});
    const auto* prompt = Row(rows, "prompt");
    ASSERT_NE(prompt, nullptr);
    EXPECT_NE(std::find(prompt->begin(), prompt->end(), "COM" + Com()), prompt->end());
    EXPECT_EQ(ExitOf(*program), 0);
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
}

}  // namespace
}  // namespace kavo::test
