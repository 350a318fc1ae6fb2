// The set-up of the end-to-end cases of kavodown.exe under Wine: a scratch folder with a firmware
// file, the Linux line simulator with Wine's COMn on its end A, the terminal simulator on end B,
// and kavodown.exe run through Wine with its settings in the scratch folder.
//
// Runs when KAVO_WINDOWS_KAVODOWN names the Windows program and WINEPREFIX a started Wine prefix
// (scripts/test-windows sets both); a case skips otherwise.
#pragma once

#include "child_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

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

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::string kBin = KAVO_BIN_DIR;

inline std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The Windows form of a Linux path: Wine's drive Z: is the Linux root.
inline std::string WindowsPath(const std::string& path) {
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

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class WineSession : public ::testing::Test {
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

}  // namespace kavo::test
