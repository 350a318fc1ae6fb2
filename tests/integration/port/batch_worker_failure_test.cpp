// An unattended run whose port fails in the middle of the transfer: the dispatcher thread, which
// runs the transfer's steps, ends by an error. The run ends at once with 9 and the error's line as
// its last line on the standard error, naming the port, the worker and the error.
#include "support/faulty_dispatcher.h"

#include "app/command_line.h"
#include "app/download_sequence.h"
#include "platform/exit_codes.h"
#include "app/run_control.h"
#include "platform/event_loop.h"
#include "pty_pair.h"
#include "serial/com_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

namespace kavo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The standard error goes to a file while the object lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string path_;
    int saved_ = -1;
};

TEST(BatchWorkerFailure, EndsTheRunWithNineAndTheFailuresLine) {
    char pattern[] = "/tmp/kavo_guifail_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    sim::PtyPair pty;
    ::setenv("KAVODOWN_CONFIG_DIR", dir.c_str(), 1);
    ::setenv("KAVODOWN_PORTS", ("7=" + pty.DevicePath()).c_str(), 1);
    const std::string firmware = dir + "/fw.bin";
    std::ofstream(firmware) << std::string(100000, 'F');

    std::string errors;
    int exitCode = -1;
    {
        StderrCapture capture(dir + "/stderr.txt");
        TNoView view;
        TDownloadSequence sequence(view);
        TCommandLine commandLine;
        commandLine.positional = {"7", firmware};
        commandLine.batch = true;
        sequence.FormCreate(commandLine.positional);
        TRunControl control(sequence, commandLine);
        ShowComponentErrorsIn(sequence);
        std::atomic<test::FaultyDispatcher*> faulty{nullptr};
        sequence.Tevo->SetDispatcherFactory([&faulty](TApdCustomComPort* owner) {
            auto made = std::make_unique<test::FaultyDispatcher>(owner);
            faulty = made.get();
            return made;
        });
        ASSERT_TRUE(control.Prepare());

        // The terminal asks for the file and ACKs two blocks; with the second ACK the dispatcher
        // thread fails (a trigger handler raises as the ACK is delivered).
        auto peer = std::async(std::launch::async, [&] {
            Bytes got;
            for (int asks = 0; asks < 20 && got.empty(); ++asks) {
                pty.Write(Bytes{'C'});
                got = pty.Read(1029, 500ms);
            }
            if (got.size() != 1029) return false;
            pty.Write(Bytes{0x06});
            if (pty.Read(1029, 5s).size() != 1029) return false;
            faulty.load()->Fail(test::FaultedWorker::dispatcher);
            pty.Write(Bytes{0x06});
            pty.ReadUntilQuiet(300ms, 5s);
            return true;
        });
        // The batch run's own loop, ended by the close; a deadline in case it never comes.
        sequence.SetOnClosed([] { QuitEventLoop(0); });
        TTimer deadline([] { QuitEventLoop(-1); });
        deadline.SetInterval(20000);
        deadline.SetEnabled(true);
        EXPECT_EQ(RunEventLoop(), 0);
        EXPECT_TRUE(sequence.Closed());
        EXPECT_TRUE(peer.get());
        exitCode = sequence.ExitCode();
        SetExceptionDisplay(nullptr);
        errors = capture.Restore();
    }
    ::unsetenv("KAVODOWN_CONFIG_DIR");
    ::unsetenv("KAVODOWN_PORTS");
    fs::remove_all(dir);

    EXPECT_EQ(exitCode, kExitOtherError);
    const std::string line = "kavodown: error: COM7 (" + pty.DevicePath() +
                             "): the dispatcher thread ended by an error: " + test::kInjectedFault + "\n";
    ASSERT_GE(errors.size(), line.size()) << errors;
    EXPECT_EQ(errors.substr(errors.size() - line.size()), line) << errors;
    EXPECT_EQ(errors.find(line), errors.size() - line.size()) << "said twice: " << errors;
}

}  // namespace
}  // namespace kavo
