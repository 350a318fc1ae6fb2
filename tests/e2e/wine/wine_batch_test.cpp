// kavodown.exe --batch under Wine against the Linux line and terminal simulators: the Windows
// program opens COMn, which Wine maps to the line's pty, and each way a run ends gives the code
// the Linux build gives.
//
// Runs when KAVO_WINDOWS_KAVODOWN names the Windows program and WINEPREFIX a started Wine prefix
// (scripts/test-windows sets both); skips otherwise.
#include "platform/exit_codes.h"
#include "child_process.h"
#include "support/read_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBin = KAVO_BIN_DIR;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The Windows form of a Linux path: Wine's drive Z: is the Linux root.
std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

// The line's end A as Wine's COMn: a link in the prefix's dosdevices folder to the pty, which is
// set raw first (Wine sets the line only once it has opened it). The first free number from 20
// up is taken, so that tests running side by side each get their own; the link goes with the
// object, so that a later pty of the same number is never opened through it.
class TWineComPort {
public:
    bool Map(const std::string& linkToPty) {
        std::error_code ec;
        const fs::path pty = fs::canonical(linkToPty, ec);
        if (ec) return false;
        const int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return false;
        termios tio {};
        if (::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
        }
        ::close(fd);
        const fs::path devices = fs::path(Environment("WINEPREFIX")) / "dosdevices";
        for (int number = 20; number < 250; ++number) {
            const fs::path link = devices / ("com" + std::to_string(number));
            if (::symlink(pty.c_str(), link.c_str()) == 0) {
                link_ = link;
                number_ = number;
                return true;
            }
        }
        return false;
    }
    ~TWineComPort() {
        if (!link_.empty()) ::unlink(link_.c_str());
    }
    int Number() const { return number_; }

private:
    fs::path link_;
    int number_ = 0;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class WineBatch : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = Environment("KAVO_WINDOWS_KAVODOWN");
        if (exe_.empty() || Environment("WINEPREFIX").empty()) {
            GTEST_SKIP() << "KAVO_WINDOWS_KAVODOWN and WINEPREFIX name no Windows program and Wine "
                            "prefix (scripts/test-windows runs these tests)";
        }
        char pattern[] = "/tmp/kavo_wine_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        MakeFirmware(dir_ + "/firmware.bin", 70000 + 123);
    }
    void TearDown() override {
        port_.reset();
        if (line_) line_->Signal(SIGTERM);
        line_.reset();
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void MakeFirmware(const std::string& path, std::size_t size) {
        std::mt19937 rng(42);
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << data;
        firmware_ = path;
        size_ = size;
    }

    // The line simulator (with `faults`) and Wine's COMn on its end A.
    void StartLine(std::vector<std::string> faults = {}) {
        std::vector<std::string> argv{kBin + "/linesim", "--baud", "0", "--link-a", dir_ + "/A",
                                      "--link-b", dir_ + "/B"};
        argv.insert(argv.end(), faults.begin(), faults.end());
        line_ = Start(argv, ChildProcess::Output::Capture);
        ASSERT_FALSE(line_->WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
        port_ = std::make_unique<TWineComPort>();
        ASSERT_TRUE(port_->Map(dir_ + "/A")) << "no free COM number in the Wine prefix";
    }

    std::unique_ptr<ChildProcess> StartTerminal(std::vector<std::string> extra) {
        std::vector<std::string> argv{kBin + "/termsim", dir_ + "/B", "--out", dir_ + "/out.bin",
                                      "--size", std::to_string(size_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto terminal = Start(argv, ChildProcess::Output::Capture);
        EXPECT_FALSE(terminal->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
        return terminal;
    }

    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, ChildProcess::Output out,
                                        ChildProcess::Output err = ChildProcess::Output::Null) {
        return std::make_unique<ChildProcess>(ChildProcess::Options{
            .argv = argv, .env = {"KAVODOWN_CONFIG_DIR=" + WindowsPath(dir_)}, .out = out, .err = err});
    }

    // kavodown.exe under Wine to its end: the exit code and the captured stream (the standard
    // error, or with `standardOutput` the standard output).
    std::pair<int, std::string> Run(const std::vector<std::string>& args, bool standardOutput = false) {
        std::vector<std::string> argv{exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunWine(argv, standardOutput);
    }
    // A Windows program (kavodown.exe, or one of Wine's own such as reg) under Wine, as Run.
    std::pair<int, std::string> RunWine(const std::vector<std::string>& args, bool standardOutput = false) {
        std::vector<std::string> argv{"wine"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto tool = standardOutput ? Start(argv, ChildProcess::Output::Capture)
                                   : Start(argv, ChildProcess::Output::Null, ChildProcess::Output::Capture);
        std::string text = tool->ReadAll(150s);
        return {tool->Wait(30s).value_or(-1), text};
    }

    std::string Com() const { return std::to_string(port_->Number()); }

    std::string exe_, dir_, firmware_;
    std::size_t size_ = 0;
    std::unique_ptr<ChildProcess> line_;
    std::unique_ptr<TWineComPort> port_;
};

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
