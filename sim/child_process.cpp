#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "platform/unique_fd.h"

extern char** environ;

namespace kavo::sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a killed child may take to be reaped before the wait gives up on it.
constexpr auto kReapLimit = 10s;

using UniqueFd = kavo::TUniqueFd;

// What the child reports through the status pipe when it cannot exec.
struct ChildFailure {
    enum Step : int { Folder, User, Exec } step;
    int error;
};

std::string ErrorText(int error) { return std::strerror(error); }

int CeilMilliseconds(Clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(ms, 0, 60'000));
}

int DecodeStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// This process's environment with `extra` applied.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    for (const std::string& entry : extra) {
        const std::size_t eq = entry.find('=');
        const std::string prefix = entry.substr(0, eq) + "=";
        std::erase_if(env, [&](const std::string& e) { return e.starts_with(prefix); });
        if (eq != std::string::npos) env.push_back(entry);
    }
    return env;
}

// The full path of `name` as execvp would find it through `path` (a PATH value).
std::string FindInPath(const std::string& name, const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
            return fs::absolute(candidate, ec).string();
        }
        start = end + 1;
    }
    return {};
}

// In the child: `fd` becomes `target` and stays open across exec.
void MoveTo(int fd, int target) {
    if (fd == target) {
        ::fcntl(fd, F_SETFD, 0);
    } else {
        ::dup2(fd, target);
    }
}

// Through syscall(): the C library's own wrappers are not declared for C++ in every version.
int OpenPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int SendThroughPidFd(int pidFd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0));
}

[[noreturn]] void ChildFails(int statusFd, ChildFailure::Step step, int error, int code) {
    const ChildFailure failure{step, error};
    while (::write(statusFd, &failure, sizeof failure) < 0 && errno == EINTR) {
    }
    ::_exit(code);
}

// The program's full path: as given when it names a folder, else found through the PATH of the
// child's environment. Empty, with `why` set, when there is none.
std::string ResolveProgram(const std::string& name, const std::vector<std::string>& env, std::string& why) {
    std::error_code ec;
    if (name.find('/') != std::string::npos) return fs::absolute(name, ec).string();
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& e : env) {
        if (e.starts_with("PATH=")) path = e.substr(5);
    }
    std::string found = FindInPath(name, path);
    if (found.empty()) why = name + ": not found in PATH (" + path + ")";
    return found;
}

std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

using Output = ChildProcess::Output;
using Input = ChildProcess::Input;

bool Captured(Output o) { return o == Output::Capture || o == Output::Terminal; }

// The descriptors the child's standard streams become (-1: the stream stays this process's), and
// their owners on this side.
struct ChildStreams {
    UniqueFd channelRead, channelWrite;  // the captured channel, shared when both streams want it
    UniqueFd inFile, outFile, errFile;
    int in = -1, out = -1, err = -1;

    // Empty on success, else why the streams could not be made.
    std::string Open(const ChildProcess::Options& options);
    // This side's copies of the child's ends go, so that the captured output ends with the child.
    void CloseChildEnds() {
        channelWrite.Reset();
        outFile.Reset();
        errFile.Reset();
        inFile.Reset();
    }

private:
    std::string OpenChannel(bool terminal);
    std::string OpenOutputFile(Output o, const std::string& path, UniqueFd& fd);
    int Target(Output o, const UniqueFd& file) const {
        if (Captured(o)) return channelWrite.Get();
        if (o == Output::Null || o == Output::File) return file.Get();
        return -1;
    }
};

std::string ChildStreams::OpenChannel(bool terminal) {
    int fds[2];
    if (!terminal) {
        if (::pipe2(fds, O_CLOEXEC) != 0) return "cannot make a pipe: " + ErrorText(errno);
        channelRead.Reset(fds[0]);
        channelWrite.Reset(fds[1]);
        return {};
    }
    if (::openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0) {
        return "cannot open a terminal: " + ErrorText(errno);
    }
    channelRead.Reset(fds[0]);
    channelWrite.Reset(fds[1]);
    termios raw{};
    ::tcgetattr(fds[1], &raw);
    ::cfmakeraw(&raw);  // no newline translation: every '\r' read is the child's own
    ::tcsetattr(fds[1], TCSANOW, &raw);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return {};
}

std::string ChildStreams::OpenOutputFile(Output o, const std::string& path, UniqueFd& fd) {
    if (o != Output::Null && o != Output::File) return {};
    const std::string target = o == Output::Null ? "/dev/null" : path;
    fd.Reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid()) return "cannot open " + target + " for output: " + ErrorText(errno);
    return {};
}

std::string ChildStreams::Open(const ChildProcess::Options& options) {
    std::string why;
    if (Captured(options.out) || Captured(options.err)) {
        why = OpenChannel(options.out == Output::Terminal || options.err == Output::Terminal);
        if (!why.empty()) return why;
    }
    why = OpenOutputFile(options.out, options.outPath, outFile);
    if (!why.empty()) return why;
    const bool sharedFile = options.out == Output::File && options.err == Output::File &&
                            options.outPath == options.errPath;
    if (!sharedFile) {
        why = OpenOutputFile(options.err, options.errPath, errFile);
        if (!why.empty()) return why;
    }
    if (options.in == Input::Null) {
        inFile.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!inFile.Valid()) return "cannot open /dev/null for input: " + ErrorText(errno);
    }
    in = inFile.Get();
    out = Target(options.out, outFile);
    err = sharedFile ? out : Target(options.err, errFile);
    return {};
}

}  // namespace

ChildProcess::ChildProcess(Options options)
    : ownSession_(options.ownSession), stopSignal_(options.stopSignal), stopGrace_(options.stopGrace) {
    started_ = Start(options);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !Poll()) Stop(stopSignal_, stopGrace_);
    if (ownSession_ && started_) EndGroup();
    if (pidFd_ >= 0) ::close(pidFd_);
    if (outputFd_ >= 0) ::close(outputFd_);
}

bool ChildProcess::Start(const Options& options) {
    auto fail = [this](int code, std::string why) {
        error_ = std::move(why);
        exitCode_ = code;
        return false;
    };
    if (options.argv.empty() || options.argv[0].empty()) return fail(kCannotRun, "no program given");

    // Everything the child uses is made here, before the fork.
    std::vector<std::string> envStrings = MergedEnvironment(options.env);
    std::string why;
    program_ = ResolveProgram(options.argv[0], envStrings, why);
    if (program_.empty()) return fail(kCannotRun, why);
    std::vector<std::string> argStrings = options.argv;
    const std::vector<char*> argv = NullTerminated(argStrings);
    const std::vector<char*> envp = NullTerminated(envStrings);
    ChildStreams streams;
    why = streams.Open(options);
    if (!why.empty()) return fail(kCannotSetUp, why);

    int statusPipe[2];
    if (::pipe2(statusPipe, O_CLOEXEC) != 0) return fail(kCannotSetUp, "cannot make a pipe: " + ErrorText(errno));
    UniqueFd statusRead(statusPipe[0]), statusWrite(statusPipe[1]);
    const char* folder = options.workingDir.empty() ? nullptr : options.workingDir.c_str();
    const uid_t uid = options.uid;
    const bool ownSession = options.ownSession;
    const int parentDeathSignal = stopSignal_;
    const pid_t parent = ::getpid();
    const char* programPath = program_.c_str();

    pid_ = ::fork();
    if (pid_ < 0) return fail(kCannotSetUp, "cannot fork: " + ErrorText(errno));
    if (pid_ == 0) {
        // The child: async-signal-safe calls only, up to exec.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);  // a signal blocked in the parent's thread
        if (streams.in >= 0) MoveTo(streams.in, 0);
        if (streams.out >= 0) MoveTo(streams.out, 1);
        if (streams.err >= 0) MoveTo(streams.err, 2);
        if (folder && ::chdir(folder) != 0) ChildFails(statusWrite.Get(), ChildFailure::Folder, errno, kCannotSetUp);
        if (ownSession) ::setsid();
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
            ChildFails(statusWrite.Get(), ChildFailure::User, errno, kCannotSetUp);
        }
        // After the change of user, which clears it. A parent that is gone already cannot send
        // the signal any more: the child is then no longer wanted.
        ::prctl(PR_SET_PDEATHSIG, parentDeathSignal);
        if (::getppid() != parent) ::_exit(kCannotSetUp);
        ::execve(programPath, argv.data(), envp.data());
        ChildFails(statusWrite.Get(), ChildFailure::Exec, errno, kCannotRun);
    }

    pidFd_ = OpenPidFd(pid_);
    statusWrite.Reset();
    streams.CloseChildEnds();
    outputFd_ = streams.channelRead.Release();
    return ExecReported(statusRead.Get(), options);
}

// The status pipe closes on a successful exec; a report on it means the child gave up.
bool ChildProcess::ExecReported(int statusFd, const Options& options) {
    ChildFailure failure{};
    ssize_t n;
    while ((n = ::read(statusFd, &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof failure)) return true;
    switch (failure.step) {
    case ChildFailure::Folder:
        error_ = "cannot change to " + options.workingDir + ": " + ErrorText(failure.error);
        break;
    case ChildFailure::User:
        error_ = "cannot run as user " + std::to_string(options.uid) + ": " + ErrorText(failure.error);
        break;
    case ChildFailure::Exec:
        error_ = "cannot run " + program_ + ": " + ErrorText(failure.error);
        break;
    }
    Wait(kReapLimit);  // it has already called _exit
    return false;
}

void ChildProcess::Ended(int code) {
    exitCode_ = code;
    if (pidFd_ >= 0) ::close(pidFd_);
    pidFd_ = -1;
}

std::optional<int> ChildProcess::Poll() {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            Ended(DecodeStatus(status));
            break;
        }
        if (r == 0) return std::nullopt;
        if (errno == EINTR) continue;
        // Reaped elsewhere (or SIGCHLD is ignored): the child is gone, its status with it. Waiting
        // on would only spin until the deadline.
        error_ = "the exit status was lost: " + ErrorText(errno);
        Ended(kStatusLost);
        break;
    }
    return exitCode_;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        if (auto code = Poll()) return code;
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return std::nullopt;
        if (pidFd_ >= 0) {
            pollfd p{pidFd_, POLLIN, 0};
            ::poll(&p, 1, CeilMilliseconds(left));
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(left, 10ms));
        }
    }
}

void ChildProcess::Signal(int signal) {
    if (pid_ <= 0 || exitCode_) return;
    if (ownSession_) {
        // The group keeps the child's number while the child is not reaped.
        ::kill(-pid_, signal);
        return;
    }
    // Through the pidfd where there is one: it cannot reach another process that reuses the pid.
    if (pidFd_ >= 0 && SendThroughPidFd(pidFd_, signal) == 0) return;
    ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
    if (auto code = Poll()) return code;
    Signal(signal);
    if (signal != SIGKILL) {
        if (auto code = Wait(grace)) return code;
        Signal(SIGKILL);
    }
    return Wait(kReapLimit);
}

void ChildProcess::EndGroup() {
    // What the child left running in its group: the stop signal, then SIGKILL after the grace.
    // (The group's number cannot be given to a new process while any member lives.)
    if (::kill(-pid_, stopSignal_) != 0) return;
    const auto until = Clock::now() + stopGrace_;
    while (Clock::now() < until) {
        if (::kill(-pid_, 0) != 0) return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(-pid_, SIGKILL);
}

bool ChildProcess::Fill(Clock::time_point until) {
    if (outputFd_ < 0 || outputEnded_) return false;
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    pollfd p{outputFd_, POLLIN, 0};
    if (::poll(&p, 1, CeilMilliseconds(left)) <= 0) return true;  // the caller checks the deadline
    char chunk[4096];
    const ssize_t n = ::read(outputFd_, chunk, sizeof chunk);
    if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        outputEnded_ = true;  // end of the pipe, or EIO once a terminal's last writer closed it
    }
    return true;
}

std::string ChildProcess::WaitLine(const std::string& text, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        std::size_t newline;
        while ((newline = buffer_.find('\n')) != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            if (line.find(text) != std::string::npos) return line;
        }
        if (outputEnded_ && !buffer_.empty()) {
            // The last line of the output need not end with a newline.
            std::string line;
            line.swap(buffer_);
            if (line.find(text) != std::string::npos) return line;
        }
        if (!Fill(until)) return {};
    }
}

std::string ChildProcess::ReadAll(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (Fill(until)) {
    }
    std::string all;
    all.swap(buffer_);
    return all;
}

void ChildProcess::CloseOutput() {
    if (outputFd_ >= 0) ::close(outputFd_);
    outputFd_ = -1;
}

bool ChildProcess::HasOpen(const std::string& path) const {
    if (pid_ <= 0) return false;
    std::error_code ec;
    const std::string proc = "/proc/" + std::to_string(pid_);
    if (fs::read_symlink(proc + "/exe", ec) != fs::canonical(program_, ec)) return false;
    const fs::path target = fs::canonical(path, ec);
    if (ec) return false;
    for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(fd.path(), linkError) == target) return true;
    }
    return false;
}

}  // namespace kavo::sim
