// kavodown --batch against the line and terminal simulators: each way a run can end gives its own
// exit code and one line on the standard error, and no run outlives its deadline.
#include "platform/exit_codes.h"
#include "child_process.h"
#include "support/fork_child.h"
#include "support/read_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBin = KAVO_BIN_DIR;

// A child whose stream `capturedFd` (1 or 2) the test reads; the other one goes to /dev/null.
// With `terminal` the captured stream is a raw terminal (a pty) instead of a pipe; with `uid`
// not 0 (the test runs as root) the child runs as that user.
std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env = {}, int capturedFd = 1,
                                    uid_t uid = 0, bool terminal = false) {
    const auto captured = terminal ? ChildProcess::Output::Terminal : ChildProcess::Output::Capture;
    return std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = argv,
        .env = env,
        .out = capturedFd == 1 ? captured : ChildProcess::Output::Null,
        .err = capturedFd == 1 ? ChildProcess::Output::Null : captured,
        .uid = uid});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Random bytes of `size`, the same for the same seed.
std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    return data;
}

// The SHA-256 of the file at `path` in hex, as sha256sum computes it.
std::string Sha256Of(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "";
    char digest[65] = {};
    const std::size_t n = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, n);
}

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_batch_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0777);  // also for a run as another user
        MakeFirmware(70000 + 123);
    }
    void TearDown() override {
        if (line_) line_->Signal(SIGTERM);
        line_.reset();
        fs::remove_all(dir_);
    }

    void MakeFirmware(std::size_t size, const std::string& path = "") {
        firmware_ = path.empty() ? dir_ + "/firmware.bin" : path;
        std::ofstream(firmware_, std::ios::binary) << RandomBytes(size, 42);
        size_ = size;
    }

    void StartLine(std::vector<std::string> faults = {}) {
        // Unpaced unless `faults` sets a baud rate of its own (a later value wins).
        std::vector<std::string> argv{kBin + "/linesim", "--baud", "0", "--link-a", dir_ + "/A",
                                      "--link-b", dir_ + "/B"};
        argv.insert(argv.end(), faults.begin(), faults.end());
        line_ = Start(argv);
        ASSERT_FALSE(line_->WaitLine("linesim: ready", 20s).empty()) << "linesim did not start";
    }

    std::unique_ptr<ChildProcess> StartTerminal(std::vector<std::string> extra) {
        std::vector<std::string> argv{kBin + "/termsim", dir_ + "/B", "--out", dir_ + "/out.bin",
                                      "--size", std::to_string(size_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto terminal = Start(argv);
        EXPECT_FALSE(terminal->WaitLine("termsim: ready", 20s).empty()) << "termsim did not start";
        return terminal;
    }

    // kavodown with its standard error captured; without --batch among `args` it runs with its
    // window, drawn offscreen. A --batch run gets a platform that does not exist: a run that
    // started the toolkit at all would end there.
    std::unique_ptr<ChildProcess> StartKavodown(const std::vector<std::string>& args, uid_t uid = 0,
                                                const std::string& ports = "") {
        std::vector<std::string> argv{kBin + "/kavodown"};
        argv.insert(argv.end(), args.begin(), args.end());
        const bool batch = std::find(args.begin(), args.end(), "--batch") != args.end();
        return Start(argv,
                     {"KAVODOWN_CONFIG_DIR=" + dir_,
                      batch ? "QT_QPA_PLATFORM=no-such-platform" : "QT_QPA_PLATFORM=offscreen",
                      "KAVODOWN_PORTS=" + (ports.empty() ? "3=" + dir_ + "/A" : ports)},
                     2, uid);
    }

    // Waits for a progress line that shows bytes on their way (the transfer is under way).
    bool WaitForBytesSent(ChildProcess& tool) {
        for (int lines = 0; lines < 50; ++lines) {
            const std::string line = tool.WaitLine(" bytes (", 60s);
            if (line.empty()) return false;
            if (line.rfind("kavodown: 0 of", 0) != 0) return true;
        }
        return false;
    }

    // Runs kavodown to its end: the exit code and its standard error.
    std::pair<int, std::string> Run(const std::vector<std::string>& args, uid_t uid = 0,
                                    const std::string& ports = "") {
        auto tool = StartKavodown(args, uid, ports);
        std::string err = tool->ReadAll(120s);
        return {tool->Wait(30s).value_or(-1), err};
    }

    std::string dir_, firmware_;
    std::size_t size_ = 0;
    std::unique_ptr<ChildProcess> line_;
};

// The run's standard error is exactly one line, and it contains `part`.
void ExpectOneLine(const std::string& err, const std::string& part) {
    const std::vector<std::string> lines = Lines(err);
    EXPECT_EQ(lines.size(), 1u) << err;
    EXPECT_NE(err.find(part), std::string::npos) << err;
    EXPECT_EQ(err.rfind("kavodown: ", 0), 0u) << err;
}

TEST_F(BatchRunTest, SuccessEndsWithZeroAndSaysNothing) {
    StartLine();
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--batch", "3", firmware_});
    EXPECT_EQ(code, kExitOk);
    EXPECT_EQ(err, "");
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
}

TEST_F(BatchRunTest, DeviceAndJsonProgressNameThePathAndEndWithTheOutcomeAndHash) {
    StartLine();
    auto terminal = StartTerminal({});
    // No port map at all: the device path alone names the port.
    const std::vector<std::string> env{"KAVODOWN_CONFIG_DIR=" + dir_};
    auto tool = Start({kBin + "/kavodown", "--batch", "--device", dir_ + "/A", "--progress", "json",
                       firmware_}, env, 1);
    const std::string out = tool->ReadAll(120s);
    EXPECT_EQ(tool->Wait(30s), kExitOk);
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
    std::ofstream(dir_ + "/progress.json") << out;
    // Every line is JSON to a parser of its own; the last is the end with the file's hash.
    auto check = Start({"/usr/bin/python3", "-c",
                        "import json,sys,hashlib\n"
                        "rows=[json.loads(l) for l in open(sys.argv[1])]\n"
                        "assert all(r['event']=='progress' for r in rows[:-1]), rows\n"
                        "assert rows[-2]['sent']==rows[-2]['size']==int(sys.argv[3]), rows[-2]\n"
                        "end=rows[-1]\n"
                        "assert end['event']=='end' and end['code']==0 and end['outcome']=='', end\n"
                        "assert end['sha256']==hashlib.sha256(open(sys.argv[2],'rb').read()).hexdigest()\n"
                        "print('ok')\n",
                        dir_ + "/progress.json", firmware_, std::to_string(size_)});
    EXPECT_EQ(check->ReadAll(30s), "ok\n") << out;
    EXPECT_EQ(check->Wait(30s), 0);

    // A device that is not there is a missing port, and the end object says so.
    auto missing = Start({kBin + "/kavodown", "--batch", "--device", dir_ + "/none", "--progress=json",
                          firmware_}, env, 1);
    const std::string end = missing->ReadAll(60s);
    EXPECT_EQ(missing->Wait(30s), kExitPortMissing);
    EXPECT_EQ(end.rfind("{\"event\":\"end\",\"code\":4,", 0), 0u) << end;
    EXPECT_NE(end.find(dir_ + "/none"), std::string::npos) << end;
}

TEST_F(BatchRunTest, StopsBeforeThePortOpensHaveTheirOwnCodes) {
    StartLine();
    {
        auto [code, err] = Run({"--batch", "3", dir_ + "/missing.bin"});
        EXPECT_EQ(code, kExitFileMissing);
        ExpectOneLine(err, "file missing: " + dir_ + "/missing.bin does not exist");
    }
    {
        auto [code, err] = Run({"--batch", "7", firmware_});
        EXPECT_EQ(code, kExitPortMissing);
        ExpectOneLine(err, "port missing: COM7 is not assigned to a device; known ports: ");
        EXPECT_NE(err.find("COM3 " + dir_ + "/A"), std::string::npos) << err;
    }
    {
        auto [code, err] = Run({"--batch", "0", firmware_});  // no port number: no prompt either
        EXPECT_EQ(code, kExitPortMissing);
        ExpectOneLine(err, "port missing: no port number was given");
    }
    {
        // A device path that opens but is no port (here a folder) fails in the port's set-up:
        // neither missing nor busy, so it is the catch-all code, with the system's reason.
        auto [code, err] = Run({"--batch", "4", firmware_}, 0, "4=" + dir_);
        EXPECT_EQ(code, kExitOtherError);
        ExpectOneLine(err, "port failed: COM4 (" + dir_ + "): " + dir_ + ": Is a directory");
    }
    {
        auto [code, err] = Run({"--batch", "COM3", firmware_});
        EXPECT_EQ(code, kExitUsage);
        ExpectOneLine(err, "PORT must be a port number");
    }
    {
        auto [code, err] = Run({"--batch", "3"});
        EXPECT_EQ(code, kExitUsage);
        ExpectOneLine(err, "--batch needs PORT and FILE");
    }
    // Nothing of these runs reached the line, and the settings were not harmed.
    EXPECT_FALSE(fs::exists(dir_ + "/out.bin"));
}

TEST_F(BatchRunTest, FileThatIsNoRegularFileIsMissingAndNothingWaitsOnIt) {
    StartLine();
    auto terminal = StartTerminal({});
    // A FIFO without a writer would hold an open for reading without end.
    const std::string fifo = dir_ + "/fw.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        auto [code, err] = Run({"--batch", "3", fifo});
        EXPECT_EQ(code, kExitFileMissing);
        ExpectOneLine(err, "file missing: " + fifo + " is a FIFO, not a firmware file");
    }
    {
        auto [code, err] = Run({"--batch", "--progress", "3", "/dev/zero"});
        EXPECT_EQ(code, kExitFileMissing);
        ExpectOneLine(err, "file missing: /dev/zero is a device, not a firmware file");
    }
    EXPECT_FALSE(fs::exists(dir_ + "/out.bin"));
}

TEST_F(BatchRunTest, PortHeldByAnotherProgramIsBusy) {
    StartLine();
    // Hold the port the way the serial layer holds an open port: an exclusive lock on the device.
    int fd = ::open((dir_ + "/A").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    auto [code, err] = Run({"--batch", "3", firmware_});
    EXPECT_EQ(code, kExitPortBusy);
    ExpectOneLine(err, "port busy: COM3 (" + dir_ + "/A) is held by another program: pid " +
                           std::to_string(::getpid()));

    // The listing marks it too.
    auto listing = Start({kBin + "/kavodown", "--list-ports"},
                         {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS=3=" + dir_ + "/A"});
    const std::string line = listing->WaitLine("COM3", 60s);
    EXPECT_NE(line.find("[busy: pid " + std::to_string(::getpid())), std::string::npos) << line;
    EXPECT_EQ(listing->Wait(30s), 0);
    ::close(fd);
}

// A child of the test that holds the port as `how` says and waits to be killed.
pid_t HoldPort(const std::string& path, const std::string& how) {
    pid_t pid = ForkChild();
    if (pid != 0) return pid;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (how == "exclusive") ::ioctl(fd, TIOCEXCL);
    for (;;) ::pause();
}

TEST_F(BatchRunTest, PortHeldWithoutAFlockIsBusyToo) {
    StartLine();
    const std::string locks = dir_ + "/locks";
    fs::create_directory(locks);
    const std::string pts = fs::canonical(dir_ + "/A").string();
    for (const std::string how : {"open", "exclusive", "lock file"}) {
        SCOPED_TRACE(how);
        pid_t holder = how == "lock file" ? HoldPort("/dev/null", how) : HoldPort(dir_ + "/A", how);
        ASSERT_GT(holder, 0);
        if (how == "lock file") {
            char text[16];
            std::snprintf(text, sizeof text, "%10d\n", holder);
            std::ofstream(locks + "/LCK.." + pts.substr(5).replace(3, 1, "_")) << text;
        }
        std::this_thread::sleep_for(100ms);  // the holder's open is done
        auto tool = Start({kBin + "/kavodown", "--batch", "3", firmware_},
                          {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS=3=" + dir_ + "/A",
                           "KAVODOWN_LOCK_DIR=" + locks},
                          2);
        const std::string err = tool->ReadAll(60s);
        EXPECT_EQ(tool->Wait(30s), kExitPortBusy) << err;
        ExpectOneLine(err, "port busy: COM3 (" + dir_ + "/A) is held by another program: pid " +
                               std::to_string(holder));
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
    }
}

TEST_F(BatchRunTest, LockFilesAreTakenAndAStaleOneNeverBlocks) {
    StartLine();
    const std::string locks = dir_ + "/locks";
    fs::create_directory(locks);
    const std::string lockFile = locks + "/LCK.." + fs::canonical(dir_ + "/A").string().substr(5).replace(3, 1, "_");
    const std::vector<std::string> env{"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS=3=" + dir_ + "/A",
                                       "KAVODOWN_LOCK_DIR=" + locks};
    // A run that waits for the terminal holds the lock with its pid, in the usual form.
    auto first = Start({kBin + "/kavodown", "--batch", "--silence-limit", "60", "3", firmware_}, env, 2);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%10d\n", first->Pid());
    for (int i = 0; i < 200 && ReadFile(lockFile) != expected; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadFile(lockFile), expected);
    // Killed outright, it leaves the lock behind; the next run takes over the stale lock.
    first->Signal(SIGKILL);
    EXPECT_EQ(first->Wait(10s), 128 + SIGKILL);
    ASSERT_TRUE(fs::exists(lockFile));
    if (::geteuid() != 0) {
        // The killed run's exclusive flag stays on the pty, whose far end the line simulator
        // keeps open (a real device drops it at its last close), and keeps anyone but root out.
        GTEST_SKIP() << "taking over a killed run's lock on a pty needs root (its exclusive flag "
                        "outlives the run)";
    }
    auto terminal = StartTerminal({});
    auto second = Start({kBin + "/kavodown", "--batch", "3", firmware_}, env, 2);
    const std::string err = second->ReadAll(120s);
    EXPECT_EQ(second->Wait(30s), kExitOk) << err;
    // A run that ends leaves nothing behind.
    EXPECT_FALSE(fs::exists(lockFile));
    EXPECT_TRUE(fs::is_empty(locks));
}

// Each errno of the device, at the open, in the port's set-up and while the port is open, as the
// run reports it. The calls fail once, through a library preloaded into the program.
TEST_F(BatchRunTest, EveryDeviceErrnoEndsTheRunAsItMeans) {
    const std::string shim = kBin + "/libkavo_device_fault_shim.so";
    if (::access(shim.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << shim;
    struct Case {
        const char* moment;
        int error;
        int code;          // the exit code
        std::string part;  // in the one line of a failed run
    };
    const std::string port = "COM3 (" + dir_ + "/A)";
    const std::string device = dir_ + "/A: ";
    const std::string failed = "port failed: " + port + ": ", missing = "port missing: " + port + ": ";
    const std::string lost = "device lost: " + port + " went away";
    const std::vector<Case> cases = {
        {"open", EIO, kExitOtherError, failed + device + "Input/output error"},
        {"open", ENXIO, kExitPortMissing, missing},
        {"open", ENODEV, kExitPortMissing, missing},
        {"open", EINTR, kExitOk, ""},
        {"open", EAGAIN, kExitOk, ""},
        {"setup", EIO, kExitOtherError, failed + device + "Input/output error"},
        {"setup", ENXIO, kExitPortMissing, missing},
        {"setup", ENODEV, kExitPortMissing, missing},
        {"setup", EINTR, kExitOk, ""},
        {"setup", EAGAIN, kExitOk, ""},
        {"read", EIO, kExitDeviceLost, lost},
        {"read", ENXIO, kExitDeviceLost, lost},
        {"read", ENODEV, kExitDeviceLost, lost},
        {"read", EINTR, kExitOk, ""},
        {"read", EAGAIN, kExitOk, ""},
    };
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        (inherited && *inherited ? std::string(inherited) + ":" : std::string()) + "verify_asan_link_order=0";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.moment) + " " + std::strerror(c.error));
        StartLine();
        auto terminal = StartTerminal({});
        auto tool = Start({kBin + "/kavodown", "--batch", "--silence-limit", "5", "3", firmware_},
                          {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS=3=" + dir_ + "/A",
                           "LD_PRELOAD=" + shim, "KAVO_FAULT_PATH=" + dir_ + "/A",
                           std::string("KAVO_FAULT_MOMENT=") + c.moment,
                           "KAVO_FAULT_ERRNO=" + std::to_string(c.error),
                           // An instrumented program wants its sanitizer's runtime first in the
                           // list of libraries; the preloaded shim comes before it.
                           "ASAN_OPTIONS=" + asanOptions},
                          2);
        const std::string err = tool->ReadAll(120s);
        EXPECT_EQ(tool->Wait(30s), c.code) << err;
        if (c.code == kExitOk) {
            EXPECT_EQ(err, "");
        } else {
            ExpectOneLine(err, c.part);
            // The system's own words, never the text of another failure.
            if (std::string(c.moment) != "read") {
                EXPECT_NE(err.find(device + std::strerror(c.error)), std::string::npos) << err;
            }
            EXPECT_EQ(err.find("in use"), std::string::npos) << err;
            EXPECT_EQ(err.find("busy"), std::string::npos) << err;
        }
    }
}

TEST_F(BatchRunTest, PortWithoutPermissionNamesTheDialoutGroup) {
    StartLine();
    const std::string device = fs::canonical(dir_ + "/A").string();  // the pty behind the link
    uid_t uid = 0;
    if (::geteuid() == 0) {
        ::chmod(device.c_str(), 0600);  // root's device; the run goes as nobody
        uid = 65534;
    } else {
        ::chmod(device.c_str(), 0);
    }
    auto [code, err] = Run({"--batch", "3", firmware_}, uid);
    if (code == 126) GTEST_SKIP() << "cannot run as another user here";
    EXPECT_EQ(code, kExitPermissionDenied);
    ExpectOneLine(err, "permission denied: COM3: ");
    EXPECT_NE(err.find(dir_ + "/A"), std::string::npos) << err;
    EXPECT_NE(err.find("dialout"), std::string::npos) << err;
}

TEST_F(BatchRunTest, NoAnswerToDddEndsTheRun) {
    StartLine();
    auto terminal = StartTerminal({"--never-answer"});
    auto [code, err] = Run({"--batch", "--ddd", "3", firmware_});
    EXPECT_EQ(code, kExitNoAnswer);
    ExpectOneLine(err, "no answer to DDD: the terminal on COM3 (" + dir_ + "/A) sent no ACK");
}

TEST_F(BatchRunTest, DddStartsATransferWhenAnswered) {
    StartLine();
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--batch", "--ddd", "3", firmware_});
    EXPECT_EQ(code, kExitOk) << err;
    std::string summary = terminal->WaitLine("termsim:", 30s);
    EXPECT_NE(summary.find("ddd=1"), std::string::npos) << summary;
}

TEST_F(BatchRunTest, TerminalThatNeverAsksForTheFileEndsWithinTheSilenceLimit) {
    StartLine();
    auto terminal = StartTerminal({"--never-answer"});
    auto [code, err] = Run({"--batch", "--silence-limit", "2", "3", firmware_});
    EXPECT_EQ(code, kExitTransferFailed);
    ExpectOneLine(err, "transfer failed: Fatal time out (-6006)");
}

TEST_F(BatchRunTest, StrayBytesDoNotEndTheHandshakeEarly) {
    StartLine();
    auto terminal = StartTerminal({"--garbage-handshakes", "3"});
    auto [code, err] = Run({"--batch", "--silence-limit", "30", "3", firmware_});
    EXPECT_EQ(code, kExitOk) << err;
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_));
}

// A loader that prints a 60-byte prompt (with a 'C' of its own inside) before each start
// character, and echoes what it is sent until the file comes, still gets the file, woken with
// "DDD" or not.
TEST_F(BatchRunTest, LoaderThatTalksBeforeItAsksGetsTheFile) {
    const std::string prompt = "## Ready (C) for binary (xmodem) download at 115200 bps...\r\n";
    ASSERT_EQ(prompt.size(), 60u);
    for (const bool ddd : {false, true}) {
        SCOPED_TRACE(ddd ? "with --ddd" : "without --ddd");
        fs::remove(dir_ + "/out.bin");
        StartLine();
        auto terminal = StartTerminal({"--greeting", prompt, "--echo"});
        std::vector<std::string> args{"--batch", "3", firmware_};
        if (ddd) args.insert(args.begin() + 1, "--ddd");
        auto [code, err] = Run(args);
        EXPECT_EQ(code, kExitOk) << err;
        EXPECT_EQ(err, "");
        const std::string summary = terminal->WaitLine("termsim:", 30s);
        EXPECT_NE(summary.find("received"), std::string::npos) << summary;
        EXPECT_NE(summary.find(ddd ? "ddd=1" : "ddd=0"), std::string::npos) << summary;
        EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_)) << "the received file differs";
        line_->Signal(SIGTERM);
        line_.reset();
    }
}

// Text is no answer: a loader that prints forever and never asks for the file ends the run when
// the handshake's time is up, not earlier (its bytes use up no attempts) and not never.
TEST_F(BatchRunTest, LoaderThatTalksButNeverAsksEndsAtTheSilenceLimit) {
    StartLine();
    auto terminal = StartTerminal({"--greeting", "Loader 2.1 (C) Kavo\r\n", "--talk-forever",
                                   "--handshake-ms", "100"});
    const auto start = std::chrono::steady_clock::now();
    auto [code, err] = Run({"--batch", "--silence-limit", "2", "3", firmware_});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, kExitTransferFailed);
    ExpectOneLine(err, "transfer failed: Fatal time out (-6006)");
    // The whole handshake waited out its time, however many bytes came meanwhile.
    EXPECT_GE(took, 1800ms);
}

TEST_F(BatchRunTest, ReceiverCancelIsAFailedTransfer) {
    StartLine();
    auto terminal = StartTerminal({"--cancel-at-block", "3", "--can-count", "2"});
    auto [code, err] = Run({"--batch", "3", firmware_});
    EXPECT_EQ(code, kExitTransferFailed);
    ExpectOneLine(err, "transfer failed: Cancel requested (-6005)");
}

TEST_F(BatchRunTest, SettingsThatCannotBeSavedDoNotHideTheOutcome) {
    // A folder where the settings file should be: saving fails, also for root.
    fs::create_directory(dir_ + "/Option.ini");
    StartLine();
    {
        auto terminal = StartTerminal({"--cancel-at-block", "3", "--can-count", "2"});
        auto [code, err] = Run({"--batch", "3", firmware_});
        EXPECT_EQ(code, kExitTransferFailed);
        const std::vector<std::string> lines = Lines(err);
        ASSERT_EQ(lines.size(), 2u) << err;
        EXPECT_NE(lines[0].find("Option.ini"), std::string::npos) << err;
        EXPECT_EQ(lines[1], "kavodown: transfer failed: Cancel requested (-6005)") << err;
    }
    {
        // Without an outcome line (success) the settings line is the only one, and the code stays 0.
        auto terminal = StartTerminal({});
        auto [code, err] = Run({"--batch", "3", firmware_});
        EXPECT_EQ(code, kExitOk);
        const std::vector<std::string> lines = Lines(err);
        ASSERT_EQ(lines.size(), 1u) << err;
        EXPECT_NE(lines[0].find("Option.ini"), std::string::npos) << err;
    }
}

TEST_F(BatchRunTest, ReceiverSilentAfterABlockEndsWithinTheSilenceLimit) {
    StartLine();
    auto terminal = StartTerminal({"--stop-after-block", "3"});
    auto [code, err] = Run({"--batch", "--silence-limit", "2", "3", firmware_});
    EXPECT_EQ(code, kExitTransferFailed);
    ExpectOneLine(err, "transfer failed: Fatal time out (-6006)");
}

TEST_F(BatchRunTest, ReceiverSilentAtTheEndOfTheFileEndsWithinTheSilenceLimit) {
    StartLine();
    auto terminal = StartTerminal({"--silent-at-eot"});
    auto [code, err] = Run({"--batch", "--progress", "--silence-limit", "2", "3", firmware_});
    EXPECT_EQ(code, kExitTransferFailed);
    // With status lines the outcome is still the last line (the engine's last report comes after
    // its error event), and there is one.
    const std::vector<std::string> lines = Lines(err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "kavodown: transfer failed: Fatal time out (-6006)") << err;
    EXPECT_EQ(err.find("transfer failed"), err.rfind("transfer failed")) << err;
}

TEST_F(BatchRunTest, CableCutIsALostDevice) {
    StartLine({"--cut-a2b", "20000"});
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--batch", "3", firmware_});
    EXPECT_EQ(code, kExitDeviceLost);
    ExpectOneLine(err, "device lost: COM3 (" + dir_ + "/A) went away during the transfer");
}

TEST_F(BatchRunTest, ProgressToAPipeIsPlainLinesWithTheFigures) {
    StartLine();
    auto terminal = StartTerminal({});
    auto [code, err] = Run({"--progress", "--batch", "3", firmware_});
    EXPECT_EQ(code, kExitOk);
    EXPECT_EQ(err.find('\r'), std::string::npos) << "carriage return in piped progress";
    const std::vector<std::string> lines = Lines(err);
    ASSERT_GE(lines.size(), 2u) << err;
    const std::string total = " of " + std::to_string(size_) + " bytes (";
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("kavodown: ", 0), 0u) << line;
        EXPECT_NE(line.find(total), std::string::npos) << line;
        EXPECT_NE(line.find(" B/s, "), std::string::npos) << line;
        EXPECT_NE(line.find(" left"), std::string::npos) << line;
    }
    EXPECT_NE(lines.back().find(std::to_string(size_) + total + "100%)"), std::string::npos)
        << lines.back();
}

TEST_F(BatchRunTest, ProgressToATerminalUpdatesOneLineInPlace) {
    StartLine({"--baud", "115200"});  // paced, so that several reports come
    auto terminal = StartTerminal({});
    auto tool = Start({kBin + "/kavodown", "--batch", "--progress", "3", firmware_},
                      {"KAVODOWN_CONFIG_DIR=" + dir_, "KAVODOWN_PORTS=3=" + dir_ + "/A"}, 2, 0, true);
    const std::string err = tool->ReadAll(120s);
    EXPECT_EQ(tool->Wait(30s), kExitOk);
    // Every report starts with a carriage return; only the last one ends the line.
    EXPECT_GE(std::count(err.begin(), err.end(), '\r'), 3) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), '\n');
    const std::string last = err.substr(err.rfind('\r') + 1);
    EXPECT_NE(last.find(std::to_string(size_) + " of " + std::to_string(size_) + " bytes (100%)"),
              std::string::npos)
        << last;
}

TEST_F(BatchRunTest, ProgressReaderThatGoesAwayDoesNotStopTheTransfer) {
    StartLine({"--baud", "115200"});  // paced, so that reports still come after the reader left
    auto terminal = StartTerminal({});
    auto tool = StartKavodown({"--batch", "--progress", "3", firmware_});
    ASSERT_FALSE(tool->WaitLine(" bytes (", 60s).empty());
    tool->CloseOutput();
    EXPECT_EQ(tool->Wait(120s), kExitOk);
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(firmware_));
}

TEST_F(BatchRunTest, TraceAndLogAreWrittenWhenThePortCloses) {
    StartLine();
    auto terminal = StartTerminal({});
    fs::create_directory(dir_ + "/diag");
    auto [code, err] = Run({"--batch", "--trace", dir_ + "/diag", "--log=" + dir_ + "/diag", "3",
                            firmware_});
    EXPECT_EQ(code, kExitOk) << err;
    const std::string trace = ReadFile(dir_ + "/diag/TEVO.TRC");
    const std::string log = ReadFile(dir_ + "/diag/TEVO.LOG");
    // The trace holds the whole transfer: far more than the port's default 10000 entries.
    EXPECT_GT(trace.size(), size_) << "trace too short";
    EXPECT_NE(log.find("KavoDown dispatch log"), std::string::npos);

    auto [badCode, badErr] = Run({"--batch", "--trace", dir_ + "/none", "3", firmware_});
    EXPECT_EQ(badCode, kExitUsage);
    ExpectOneLine(badErr, "--trace: " + dir_ + "/none is not a folder");
}

TEST_F(BatchRunTest, SignalEndsABatchRunWithoutClaimingSuccess) {
    StartLine();
    auto terminal = StartTerminal({"--stop-after-block", "2"});
    auto tool = StartKavodown({"--batch", "--progress", "--silence-limit", "0", "3", firmware_});
    // After two blocks the terminal falls silent and the run waits without a limit; a progress
    // line shows that the run is under way (its signal handling is in place by then).
    ASSERT_FALSE(tool->WaitLine(" bytes (", 60s).empty());
    tool->Signal(SIGTERM);
    const std::string err = tool->ReadAll(60s);
    EXPECT_EQ(tool->Wait(30s), 128 + SIGTERM);
    EXPECT_NE(err.find("kavodown: stopped by SIGTERM"), std::string::npos) << err;
}

TEST_F(BatchRunTest, SignalDuringTheWaitForTheDddAnswerIsTheOnlyLine) {
    StartLine();
    // The test is the terminal: it reads "DDD" and never answers, so the signal comes while the run
    // waits the 1 s for the ACK.
    const int fd = ::open((dir_ + "/B").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(fd, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &raw), 0);
    auto tool = StartKavodown({"--batch", "--ddd", "3", firmware_});
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (seen.find("DDD") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
    }
    ASSERT_NE(seen.find("DDD"), std::string::npos) << "no DDD on the line";
    tool->Signal(SIGTERM);
    const std::string err = tool->ReadAll(60s);
    EXPECT_EQ(tool->Wait(30s), 128 + SIGTERM);
    // A script shows the last line of the log with the exit code: it must not be "no answer".
    ExpectOneLine(err, "kavodown: stopped by SIGTERM");
    ::close(fd);
}

TEST_F(BatchRunTest, FileNameIsTheFileItselfNeverAPattern) {
    // Each chosen file lies beside a file that its name would match as a pattern, and that comes
    // first in a listing.
    struct Case {
        const char* chosen;
        const char* other;
    };
    const Case cases[] = {{"KV100*.bin", "KV100!old.bin"}, {"fw?.bin", "fwA.bin"}, {"[1].bin", "1.bin"}};
    StartLine();
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        const std::string folder = dir_ + "/fw" + std::to_string(seed);
        fs::create_directory(folder);
        std::ofstream(folder + "/" + c.other, std::ios::binary) << RandomBytes(size_, seed + 100);
        std::ofstream(folder + "/" + c.chosen, std::ios::binary) << RandomBytes(size_, seed++);
        auto terminal = StartTerminal({});
        auto [code, err] = Run({"--batch", "3", folder + "/" + c.chosen});
        EXPECT_EQ(code, kExitOk) << err;
        EXPECT_EQ(terminal->Wait(30s), 0);
        EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(folder + "/" + c.chosen))
            << "another file than the chosen one was sent";
    }
}

TEST_F(BatchRunTest, LongPathsWorkWhereverAPathGoes) {
    // Paths of about 300 and 4000 bytes (each folder name within the system's 255) for the
    // firmware, the trace and log folders and the settings that keep the file's path.
    for (const std::size_t length : {300u, 4000u}) {
        SCOPED_TRACE(length);
        std::string folder = dir_ + "/long" + std::to_string(length);
        while (folder.size() + 210 < length) folder += "/" + std::string(200, 'd');
        fs::create_directories(folder);
        const std::string file = folder + "/" + std::string(length - folder.size() - 5, 'f') + ".bin";
        ASSERT_EQ(file.size(), length);
        MakeFirmware(20000, file);
        StartLine();
        auto terminal = StartTerminal({});
        auto [code, err] = Run({"--batch", "--trace", folder, "--log", folder, "3", file});
        EXPECT_EQ(code, kExitOk) << err;
        EXPECT_EQ(terminal->Wait(30s), 0);
        EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == ReadFile(file));
        EXPECT_TRUE(fs::exists(folder + "/TEVO.TRC"));
        EXPECT_TRUE(fs::exists(folder + "/TEVO.LOG"));
        EXPECT_NE(ReadFile(dir_ + "/Option.ini").find("FNAME=" + file + "\n"), std::string::npos);
        line_->Signal(SIGTERM);
        line_.reset();
    }
}

TEST_F(BatchRunTest, FileRewrittenDuringTheSendGoesOutAsItWasWhenTheSendBegan) {
    StartLine({"--baud", "115200"});  // paced: the file is rewritten while blocks still go out
    auto terminal = StartTerminal({});
    const std::string original = ReadFile(firmware_);
    const std::string originalSha = Sha256Of(firmware_);
    ASSERT_EQ(originalSha.size(), 64u);
    auto tool = StartKavodown({"--batch", "--progress", "3", firmware_});
    ASSERT_TRUE(WaitForBytesSent(*tool));
    {
        // As cp over it does: the same file, cut and written again, at the same length.
        std::ofstream rewrite(firmware_, std::ios::binary | std::ios::trunc);
        rewrite << RandomBytes(size_, 7);
    }
    const std::string err = tool->ReadAll(120s);
    EXPECT_EQ(tool->Wait(30s), kExitOk) << err;
    EXPECT_EQ(terminal->Wait(30s), 0);
    EXPECT_TRUE(ReadFile(dir_ + "/out.bin") == original) << "a mix of two versions was sent";
    // The last line names the hash of what was sent.
    const std::vector<std::string> lines = Lines(err);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("(100%)"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(", sha256 " + originalSha), std::string::npos) << lines.back();
}

TEST_F(BatchRunTest, FileThatCannotBeSentAsItIsEndsBeforeThePortOpens) {
    StartLine();
    const std::string empty = dir_ + "/empty.bin";
    std::ofstream(empty, std::ios::binary).flush();
    auto [code, err] = Run({"--batch", "3", empty});
    EXPECT_EQ(code, kExitFileMissing);
    ExpectOneLine(err, "file missing: " + empty + " is empty");
    EXPECT_FALSE(fs::exists(dir_ + "/out.bin"));
}

TEST_F(BatchRunTest, FileTheUserMayNotReadEndsBeforeThePortOpensWithThePath) {
    StartLine();
    const std::string locked = dir_ + "/locked.bin";
    fs::copy_file(firmware_, locked);
    ::chmod(locked.c_str(), 0);
    uid_t uid = 0;
    if (::geteuid() == 0) {
        // Root reads any file: the run goes as nobody, who may use the line but not the file.
        ::chmod(fs::canonical(dir_ + "/A").c_str(), 0666);
        uid = 65534;
    }
    auto [code, err] = Run({"--batch", "3", locked}, uid);
    if (code == 126) GTEST_SKIP() << "cannot run as another user here";
    EXPECT_EQ(code, kExitFileMissing) << err;
    ExpectOneLine(err, "file missing: " + locked + " cannot be read: Permission denied");
    EXPECT_FALSE(fs::exists(dir_ + "/out.bin"));
}

// Runs with the window (offscreen, no --batch), as an unattended start has them.
class WindowRunTest : public BatchRunTest {
protected:
    void SetUp() override {
        if (!KAVO_WITH_QT) GTEST_SKIP() << "this build has no window";
        BatchRunTest::SetUp();
    }
};

TEST_F(BatchRunTest, BuildWithoutAWindowSaysSoForARunThatNeedsOne) {
    if (KAVO_WITH_QT) GTEST_SKIP() << "this build has a window";
    auto [code, err] = Run({"3", firmware_});
    EXPECT_EQ(code, kExitUsage);
    ExpectOneLine(err, "this build has no window; run it with --batch");
}

TEST_F(WindowRunTest, SignalThatStopsATransferIsAFailedRun) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        StartLine({"--baud", "115200"});
        auto terminal = StartTerminal({});
        auto tool = StartKavodown({"--progress", "3", firmware_});
        ASSERT_TRUE(WaitForBytesSent(*tool));
        tool->Signal(signal);
        tool->ReadAll(60s);
        EXPECT_EQ(tool->Wait(30s), 128 + signal);
        // The terminal was told.
        EXPECT_NE(terminal->WaitLine("termsim:", 30s).find("sender-cancelled"), std::string::npos);
        line_->Signal(SIGTERM);
        line_.reset();
    }
}

TEST_F(WindowRunTest, FailedTransferEndsTheRunWithoutADialog) {
    // Each way the transfer fails reports an error while the port closes: without anyone to see
    // a dialog, the run must still end, with the failure on the standard error.
    struct Case {
        std::vector<std::string> terminal;
        std::vector<std::string> options;
        const char* line;
    };
    const Case cases[] = {
        {{"--cancel-at-block", "3", "--can-count", "2"}, {}, "Cancel requested (-6005)"},
        {{"--stop-after-block", "3"}, {"--silence-limit", "2"}, "Fatal time out (-6006)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        StartLine();
        auto terminal = StartTerminal(c.terminal);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"3", firmware_});
        auto tool = StartKavodown(args);
        const std::string err = tool->ReadAll(30s);
        const std::optional<int> code = tool->Wait(5s);
        EXPECT_EQ(code, kExitTransferFailed) << err;
        EXPECT_NE(err.find(std::string("kavodown: transfer failed: ") + c.line), std::string::npos)
            << err;
        line_->Signal(SIGTERM);
        line_.reset();
    }
}

TEST_F(WindowRunTest, ErrorWhileThePortClosesGoesToTheStandardErrorAndTheRunEnds) {
    // The trace cannot be written when the port closes (its folder went away during the
    // transfer): the error would open a message box that no one sees offscreen.
    StartLine({"--baud", "115200"});
    auto terminal = StartTerminal({});
    fs::create_directory(dir_ + "/diag");
    auto tool = StartKavodown({"--progress", "--trace", dir_ + "/diag", "3", firmware_});
    ASSERT_TRUE(WaitForBytesSent(*tool));
    fs::remove_all(dir_ + "/diag");
    const std::string err = tool->ReadAll(60s);
    EXPECT_EQ(tool->Wait(5s), kExitOk) << err;
    EXPECT_NE(err.find("kavodown: "), std::string::npos);
    EXPECT_NE(err.find("TEVO.TRC"), std::string::npos) << err;
}

TEST_F(WindowRunTest, PortWithoutANumberAsksNoOneOffscreen) {
    // Port 0 would ask the operator for a port in a dialog that no one sees offscreen; the window
    // says the port did not open and waits, and the exit button (SIGTERM) ends it.
    auto tool = StartKavodown({"0", firmware_});
    std::this_thread::sleep_for(2s);  // the automatic start comes 500 ms after start-up
    ASSERT_FALSE(tool->Poll().has_value());
    tool->Signal(SIGTERM);
    EXPECT_EQ(tool->Wait(10s), kExitOk);
}

}  // namespace
}  // namespace kavo::test
