// A program run as a child of a test, a tool or a benchmark: started with its own arguments,
// extra environment, working folder and output streams, waited for with a deadline, and never
// left behind: the destructor stops and reaps it, and a parent that dies without running its
// destructors (a crash, a test killed at its time-out) takes the child with it, because the
// child gets its stop signal when the thread that started it ends.
//
// The child is created with fork and execve. Everything it needs (arguments, environment, the
// program's full path, open files) is prepared before the fork, so that the child runs only
// async-signal-safe calls before exec even when the parent has other threads.
//
// Thread safety: one object belongs to one thread at a time; separate objects may be used from
// separate threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace kavo::sim {

class ChildProcess {
public:
    // Where one of the child's output streams goes. Both streams sent to Capture (or Terminal)
    // share one channel, a terminal if either asks for one.
    enum class Output {
        Inherit,   // this process's own stream
        Null,      // /dev/null
        Capture,   // a pipe that WaitLine and ReadAll read
        Terminal,  // as Capture, but the child writes to a raw terminal (a pty)
        File,      // a file, created or truncated
    };

    // Where the child's standard input comes from.
    enum class Input {
        Inherit,  // this process's own
        Null,     // /dev/null: the child reads the end at once
    };

    struct Options {
        // argv[0] is the program: a path (taken from this process's folder when relative) or a
        // bare name looked up in the child's PATH.
        std::vector<std::string> argv = {};
        // "NAME=value" entries added to this process's environment, replacing a variable of the
        // same name; a bare "NAME" removes that variable.
        std::vector<std::string> env = {};
        std::string workingDir = {};  // empty: this process's folder
        Input in = Input::Inherit;
        Output out = Output::Inherit;
        Output err = Output::Inherit;
        // For Output::File. A file named for both streams is opened once and shared.
        std::string outPath = {};
        std::string errPath = {};
        uid_t uid = 0;  // when not 0, the child drops its groups and runs as this user and group
        // The child leads a session and process group of its own, which the children it starts
        // join; Signal and Stop then reach the whole group.
        bool ownSession = false;
        // How the destructor ends a child that still runs: this signal, then SIGKILL if it has
        // not ended within the grace period. The child also gets this signal when the thread
        // that started it ends first.
        int stopSignal = SIGKILL;
        std::chrono::milliseconds stopGrace = std::chrono::seconds(5);
    };

    // The exit code of a child that was started but whose status was lost (another part of the
    // process reaped it).
    static constexpr int kStatusLost = -1;
    // The exit codes of a child that did not start: the program could not be found or run, or
    // its set-up (output files, folder, user) failed.
    static constexpr int kCannotRun = 127;
    static constexpr int kCannotSetUp = 126;

    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Whether the program was started (exec succeeded); if not, Error() says why and Wait
    // returns kCannotRun or kCannotSetUp at once.
    bool Started() const { return started_; }
    const std::string& Error() const { return error_; }
    pid_t Pid() const { return pid_; }
    // The full path of the program that runs.
    const std::string& Program() const { return program_; }

    // The exit code once the child has ended (128 + the signal when a signal ended it), or
    // nullopt while it runs. Does not block.
    std::optional<int> Poll();
    // As Poll, waiting up to `deadline` for the end. Once the child has been reaped, every
    // later call returns the same code at once.
    std::optional<int> Wait(std::chrono::milliseconds deadline);
    // Sends `signal` while the child has not been reaped (to its whole group with ownSession).
    void Signal(int signal);
    // Sends `signal`, waits up to `grace`, then kills and reaps; the exit code, or nullopt if
    // even SIGKILL did not end the child within a few seconds.
    std::optional<int> Stop(int signal, std::chrono::milliseconds grace);

    // The next captured line (without its newline) that contains `text`; empty when the output
    // ended or the deadline passed first. Lines read on the way are dropped.
    std::string WaitLine(const std::string& text, std::chrono::milliseconds deadline);
    // Everything captured and not read yet, up to the end of the output or the deadline.
    std::string ReadAll(std::chrono::milliseconds deadline);
    // Stops reading the captured output: the child's further writes to it fail.
    void CloseOutput();

    // Whether the child, once it has become Program(), holds `path` open. (Before its exec it
    // still holds this process's descriptors, which do not count.)
    bool HasOpen(const std::string& path) const;

private:
    bool Start(const Options& options);
    bool ExecReported(int statusFd, const Options& options);
    bool Fill(std::chrono::steady_clock::time_point until);
    void EndGroup();
    void Ended(int code);

    std::string program_;
    std::string error_;
    bool started_ = false;
    pid_t pid_ = -1;
    int pidFd_ = -1;     // readable once the child has ended; -1 where the system has none
    bool ownSession_ = false;
    int outputFd_ = -1;  // the read end of the captured output
    bool outputEnded_ = false;
    std::string buffer_;
    std::optional<int> exitCode_;
    int stopSignal_;
    std::chrono::milliseconds stopGrace_;
};

}  // namespace kavo::sim
