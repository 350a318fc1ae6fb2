// kavodown.exe --batch under Wine against the Linux line and terminal simulators: the Windows
// program opens COMn, which Wine maps to the line's pty, and each way a run ends gives the code
// the Linux build gives.
//
// Runs where the set-up can (wine_session.h); skips otherwise.
#include "platform/exit_codes.h"
#include "support/read_file.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

namespace kavo::test {
namespace {

class WineBatch : public WineSession {};

// The run's standard error is one line, and it contains `part`.
void ExpectOneLine(const std::string& err, const std::string& part) {
    const std::vector<std::string> lines = Lines(err);
    EXPECT_EQ(lines.size(), 1u) << err;
    EXPECT_NE(err.find(part), std::string::npos) << err;
}

TEST_F(WineBatch, GoodTransferWithAndWithoutTheWakeUp) {
    StartLine();
    for (const bool ddd : {false, true}) {
        SCOPED_TRACE(ddd ? "--ddd" : "no --ddd");
        auto terminal = StartTerminal({});
        std::vector<std::string> args{"--batch"};
        if (ddd) args.push_back("--ddd");
        args.insert(args.end(), {Com(), WindowsPath(firmware_)});
        auto [code, err] = Run(args);
        EXPECT_EQ(code, kExitOk) << err;
        EXPECT_EQ(terminal->Wait(30s), 0);
        EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
        fs::remove(dir_ + "/out.bin");
    }
}

TEST_F(WineBatch, TerminalThatCancelsIsAFailedTransfer) {
    StartLine();
    auto terminal = StartTerminal({"--cancel-at-block", "3", "--can-count", "2"});
    auto [code, err] = Run({"--batch", Com(), WindowsPath(firmware_)});
    EXPECT_EQ(code, kExitTransferFailed);
    ExpectOneLine(err, "transfer failed: Cancel requested (-6005)");
}

TEST_F(WineBatch, SilentTerminalEndsWithinTheSilenceLimit) {
    StartLine();
    {
        auto terminal = StartTerminal({"--never-answer"});
        auto [code, err] = Run({"--batch", "--ddd", Com(), WindowsPath(firmware_)});
        EXPECT_EQ(code, kExitNoAnswer) << err;
    }
    {
        auto terminal = StartTerminal({"--stop-after-block", "3"});
        auto [code, err] = Run({"--batch", "--silence-limit", "2", Com(), WindowsPath(firmware_)});
        EXPECT_EQ(code, kExitTransferFailed);
        ExpectOneLine(err, "transfer failed: Fatal time out (-6006)");
    }
}

TEST_F(WineBatch, CableCutIsALostDevice) {
    StartLine({"--cut-a2b", "20000"});
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--batch", Com(), WindowsPath(firmware_)});
    EXPECT_EQ(code, kExitDeviceLost) << err;
}

TEST_F(WineBatch, CtrlCEndsTheRunAsSigintDoes) {
    // Wine hands a SIGINT of its process to the console's control handlers as Ctrl+C. The line
    // stalls mid-transfer, so that the run is surely under way when the signal comes.
    StartLine({"--stall-a2b", "20000:120000"});
    auto terminal = StartTerminal({});
    auto tool = Start({"wine", exe_, "--batch", "--progress", "json", Com(), WindowsPath(firmware_)},
                      ChildProcess::Output::Capture);
    ASSERT_FALSE(tool->WaitLine("\"event\":\"progress\"", 60s).empty()) << "no progress";
    tool->Signal(SIGINT);
    const std::string end = tool->WaitLine("\"event\":\"end\"", 60s);
    EXPECT_EQ(tool->Wait(30s), ExitCodeOfSignal(SIGINT));
    EXPECT_NE(end.find("\"code\":" + std::to_string(ExitCodeOfSignal(SIGINT))), std::string::npos) << end;
    EXPECT_NE(end.find("stopped by SIGINT"), std::string::npos) << end;
}

TEST_F(WineBatch, MissingPortAndTheListOfPorts) {
    StartLine();
    // A number with no link in the prefix: Wine has no such port.
    auto [code, err] = Run({"--batch", "249", WindowsPath(firmware_)});
    EXPECT_EQ(code, kExitPortMissing) << err;
    // The listing is the registry's serial port map, as a driver would fill it for its port.
    const std::string serialComm = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::string driverDevice = "\\Device\\KavoTest" + Com();
    ASSERT_EQ(RunWine({"reg", "add", serialComm, "/v", driverDevice, "/t", "REG_SZ", "/d", "COM" + Com(), "/f"})
                  .first, 0);
    auto [listed, out] = Run({"--list-ports"}, true);
    RunWine({"reg", "delete", serialComm, "/v", driverDevice, "/f"});
    EXPECT_EQ(listed, 0);
    // The port is free: no mark after the driver's device name.
    const std::string line = "COM" + Com() + "  \\\\.\\COM" + Com() + "  " + driverDevice;
    const std::vector<std::string> lines = Lines(out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << out;
}

TEST_F(WineBatch, JsonProgressEndsWithTheImagesHash) {
    StartLine();
    auto terminal = StartTerminal({});
    auto [code, out] = Run({"--batch", "--device", "\\\\.\\COM" + Com(), "--progress", "json",
                            WindowsPath(firmware_)}, true);
    EXPECT_EQ(code, kExitOk) << out;
    EXPECT_EQ(terminal->Wait(30s), 0);
    std::ofstream(dir_ + "/progress.json") << out;
    auto check = Start({"/usr/bin/python3", "-c",
                        "import json,sys,hashlib\n"
                        "rows=[json.loads(l) for l in open(sys.argv[1])]\n"
                        "end=rows[-1]\n"
                        "assert end['event']=='end' and end['code']==0, end\n"
                        "assert end['sha256']==hashlib.sha256(open(sys.argv[2],'rb').read()).hexdigest()\n"
                        "print('ok')\n",
                        dir_ + "/progress.json", firmware_},
                       ChildProcess::Output::Capture);
    EXPECT_EQ(check->ReadAll(30s), "ok\n") << out;
}

TEST_F(WineBatch, FileInAFolderNamedInHangulWithSpaces) {
    MakeFirmware(dir_ + "/펌웨어 폴더/새 펌웨어 1.bin", 5000);
    StartLine();
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--batch", "--device", "COM" + Com(), WindowsPath(firmware_)});
    EXPECT_EQ(code, kExitOk) << err;
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
}

}  // namespace
}  // namespace kavo::test
