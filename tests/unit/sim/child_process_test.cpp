// The child-process helper that tests, tools and benchmarks share: exit codes and deadlines,
// start failures, where the output goes, and what the child gets from us.
#include "child_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kavo::sim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Output = ChildProcess::Output;

ChildProcess::Options Shell(const std::string& script) {
    return {.argv = {"/bin/sh", "-c", script}};
}

ChildProcess::Options CapturedShell(const std::string& script) {
    return {.argv = {"/bin/sh", "-c", script}, .out = Output::Capture};
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether process `pid` has ended (and was reaped by whoever is its parent) within `deadline`.
bool EndsWithin(pid_t pid, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (::kill(pid, 0) == 0 || errno != ESRCH) {
        if (Clock::now() > until) return false;
        ::usleep(10000);
    }
    return true;
}

// The session of process `pid` as /proc shows it, or -1.
pid_t SessionOf(pid_t pid) {
    const std::string text = ReadText("/proc/" + std::to_string(pid) + "/stat");
    // pid (comm) state ppid pgrp session: the name may hold blanks and parentheses.
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string state;
    pid_t ppid = 0, group = 0, session = -1;
    fields >> state >> ppid >> group >> session;
    return session;
}

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/kavo_child_XXXXXX";
        if (::mkdtemp(pattern)) path_ = pattern;
    }
    ~TempFolder() {
        if (!path_.empty()) fs::remove_all(path_);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

TEST(ChildProcessWait, TheExitCodeIsKeptForEveryLaterWait) {
    ChildProcess child(Shell("exit 3"));
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_EQ(child.Wait(10s), 3);
    // A second wait on a reaped child must not ask the system again (it would get ECHILD and
    // wait out its deadline).
    const auto start = Clock::now();
    EXPECT_EQ(child.Wait(10s), 3);
    EXPECT_EQ(child.Poll(), 3);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(ChildProcessWait, AStatusReapedElsewhereEndsTheWaitAtOnce) {
    ChildProcess child(Shell("exit 5"));
    ASSERT_TRUE(child.Started()) << child.Error();
    int status = 0;
    ASSERT_EQ(::waitpid(child.Pid(), &status, 0), child.Pid());
    const auto start = Clock::now();
    EXPECT_EQ(child.Wait(10s), ChildProcess::kStatusLost);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_FALSE(child.Error().empty());
}

TEST(ChildProcessWait, ASignalEndIsReportedAs128PlusTheSignal) {
    ChildProcess child({.argv = {"/bin/sleep", "30"}});
    ASSERT_TRUE(child.Started()) << child.Error();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(10s), 128 + SIGTERM);
    child.Signal(SIGKILL);  // reaped: nothing is sent, the code stays
    EXPECT_EQ(child.Wait(0ms), 128 + SIGTERM);
}

TEST(ChildProcessWait, AChildThatOutlivesTheDeadlineIsNotEndedAndTheDestructorReapsIt) {
    pid_t pid = -1;
    const auto start = Clock::now();
    {
        ChildProcess child({.argv = {"/bin/sleep", "30"}});
        ASSERT_TRUE(child.Started()) << child.Error();
        pid = child.Pid();
        EXPECT_EQ(child.Wait(100ms), std::nullopt);
        EXPECT_EQ(child.Poll(), std::nullopt);
    }
    EXPECT_LT(Clock::now() - start, 10s);
    // Killed and reaped: no zombie of it is left to wait for.
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcessWait, AnIgnoredStopSignalIsFollowedByAKill) {
    ChildProcess child(CapturedShell("trap '' TERM; echo ready; while :; do sleep 1; done"));
    ASSERT_EQ(child.WaitLine("ready", 10s), "ready");
    EXPECT_EQ(child.Stop(SIGTERM, 200ms), 128 + SIGKILL);
}

TEST(ChildProcessWait, AParentThatDiesWithoutItsDestructorsTakesTheChildWithIt) {
    TempFolder dir;
    const fs::path tidied = dir.Path() / "tidied";
    int pids[2];
    ASSERT_EQ(::pipe(pids), 0);
    // A parent that crashes (or is killed at its time-out): it starts the child and ends at once,
    // its objects never destroyed.
    const pid_t parent = ::fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        ChildProcess::Options options = CapturedShell(
            "trap 'echo tidied >\"" + tidied.string() + "\"; exit 0' TERM; echo ready; "
            "while :; do sleep 0.05; done");
        options.stopSignal = SIGTERM;
        auto* child = new ChildProcess(options);
        child->WaitLine("ready", 10s);
        const pid_t pid = child->Pid();
        (void)!::write(pids[1], &pid, sizeof pid);
        ::_exit(0);
    }
    ::close(pids[1]);
    pid_t orphan = -1;
    const bool told = ::read(pids[0], &orphan, sizeof orphan) == sizeof orphan;
    ::close(pids[0]);
    ::waitpid(parent, nullptr, 0);
    ASSERT_TRUE(told);
    ASSERT_GT(orphan, 0);
    const bool ended = EndsWithin(orphan, 20s);
    if (!ended) ::kill(orphan, SIGKILL);
    EXPECT_TRUE(ended) << "the child outlived its parent";
    // Ended with the stop signal the caller chose, so that it could tidy up.
    EXPECT_EQ(ReadText(tidied), "tidied\n");
}

TEST(ChildProcessWait, AChildOfItsOwnSessionIsStoppedWithEverythingItStarted) {
    {
        SCOPED_TRACE("stopped while it runs");
        ChildProcess child({.argv = {"/bin/sh", "-c", "sleep 300 & echo $!; wait"}, .out = Output::Capture,
                            .ownSession = true, .stopSignal = SIGTERM});
        const pid_t started = std::atoi(child.WaitLine("", 10s).c_str());
        ASSERT_GT(started, 0);
        EXPECT_EQ(SessionOf(child.Pid()), child.Pid());
        EXPECT_EQ(SessionOf(started), child.Pid());
        EXPECT_EQ(child.Stop(SIGTERM, 10s), 128 + SIGTERM);
        EXPECT_TRUE(EndsWithin(started, 20s));
    }
    {
        SCOPED_TRACE("ended, leaving a process of its group behind");
        pid_t left = -1;
        {
            ChildProcess child({.argv = {"/bin/sh", "-c", "sleep 300 & echo $!"}, .out = Output::Capture,
                                .ownSession = true});
            left = std::atoi(child.WaitLine("", 10s).c_str());
            ASSERT_GT(left, 0);
            EXPECT_EQ(child.Wait(10s), 0);
            EXPECT_TRUE(::kill(left, 0) == 0) << "the test needs the process to outlive its starter";
        }
        const bool ended = EndsWithin(left, 20s);
        if (!ended) ::kill(left, SIGKILL);
        EXPECT_TRUE(ended);
    }
}

TEST(ChildProcessStart, AProgramThatCannotRunIsReportedWithoutWaiting) {
    {
        ChildProcess child({.argv = {"/nonexistent/kavo-program"}});
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Wait(0ms), ChildProcess::kCannotRun);
        EXPECT_NE(child.Error().find("/nonexistent/kavo-program"), std::string::npos) << child.Error();
    }
    {
        ChildProcess child({.argv = {"kavo-no-such-program"}});
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Wait(0ms), ChildProcess::kCannotRun);
        EXPECT_NE(child.Error().find("kavo-no-such-program"), std::string::npos) << child.Error();
    }
    {
        ChildProcess child({.argv = {"/bin/true"}, .workingDir = "/nonexistent/folder"});
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Wait(0ms), ChildProcess::kCannotSetUp);
        EXPECT_NE(child.Error().find("/nonexistent/folder"), std::string::npos) << child.Error();
    }
    {
        ChildProcess child({.argv = {"/bin/true"}, .out = Output::File, .outPath = "/nonexistent/out.txt"});
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Wait(0ms), ChildProcess::kCannotSetUp);
    }
    {
        ChildProcess child({.argv = {}});
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.Wait(0ms), ChildProcess::kCannotRun);
    }
}

TEST(ChildProcessOutput, LinesAreFoundInOrderAndTheLastNeedsNoNewline) {
    ChildProcess child(CapturedShell("printf 'one\\ntwo\\n'; sleep 0.2; printf 'three\\nfour'"));
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_EQ(child.WaitLine("tw", 10s), "two");
    EXPECT_EQ(child.WaitLine("four", 10s), "four");
    // The output has ended: no wait for the deadline.
    const auto start = Clock::now();
    EXPECT_EQ(child.WaitLine("one", 10s), "");
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(child.Wait(10s), 0);
}

TEST(ChildProcessOutput, WaitLineGivesUpAtItsDeadline) {
    ChildProcess child(CapturedShell("echo early; exec sleep 30"));
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_EQ(child.WaitLine("late", 300ms), "");
    EXPECT_EQ(child.Poll(), std::nullopt);
}

TEST(ChildProcessOutput, EachStreamGoesWhereItIsSent) {
    TempFolder dir;
    const std::string script = "echo out; echo err >&2";
    {
        ChildProcess child({.argv = {"/bin/sh", "-c", script}, .out = Output::Null,
                            .err = Output::File, .errPath = (dir.Path() / "err.txt").string()});
        EXPECT_EQ(child.Wait(10s), 0);
        EXPECT_EQ(ReadText(dir.Path() / "err.txt"), "err\n");
    }
    {
        ChildProcess child({.argv = {"/bin/sh", "-c", script}, .out = Output::Capture, .err = Output::Null});
        EXPECT_EQ(child.ReadAll(10s), "out\n");
    }
    {
        ChildProcess child({.argv = {"/bin/sh", "-c", script}, .out = Output::Null, .err = Output::Capture});
        EXPECT_EQ(child.ReadAll(10s), "err\n");
    }
    {
        // Both into one file: opened once, so neither stream writes over the other.
        const std::string both = (dir.Path() / "both.txt").string();
        ChildProcess child({.argv = {"/bin/sh", "-c", "echo a; echo b >&2; echo c"}, .out = Output::File,
                            .err = Output::File, .outPath = both, .errPath = both});
        EXPECT_EQ(child.Wait(10s), 0);
        EXPECT_EQ(ReadText(both), "a\nb\nc\n");
    }
    {
        ChildProcess child({.argv = {"/bin/sh", "-c", "echo a; echo b >&2"}, .out = Output::Capture,
                            .err = Output::Capture});
        EXPECT_EQ(child.ReadAll(10s), "a\nb\n");
    }
}

TEST(ChildProcessSetup, InputFromNullEndsAtOnce) {
    ChildProcess child({.argv = {"/bin/sh", "-c", "if read line; then echo line; else echo end; fi"},
                        .in = ChildProcess::Input::Null,
                        .out = Output::Capture});
    EXPECT_EQ(child.ReadAll(10s), "end\n");
    EXPECT_EQ(child.Wait(10s), 0);
}

TEST(ChildProcessOutput, ATerminalIsRawAndSeenAsATerminal) {
    const std::string script = "if [ -t 1 ]; then echo terminal; else echo pipe; fi";
    {
        ChildProcess child({.argv = {"/bin/sh", "-c", script}, .out = Output::Terminal});
        EXPECT_EQ(child.ReadAll(10s), "terminal\n");  // no '\r' added to the newline
        EXPECT_EQ(child.Wait(10s), 0);
    }
    {
        ChildProcess child(CapturedShell(script));
        EXPECT_EQ(child.ReadAll(10s), "pipe\n");
    }
}

TEST(ChildProcessSetup, EnvironmentAndFolderReachTheChildOnly) {
    TempFolder dir;
    ::setenv("KAVO_CHILD_REPLACED", "old", 1);
    ::setenv("KAVO_CHILD_REMOVED", "here", 1);
    ChildProcess child({.argv = {"/bin/sh", "-c",
                                 "echo \"added=$KAVO_CHILD_ADDED\"; env | grep -c '^KAVO_CHILD_REPLACED='; "
                                 "echo \"replaced=$KAVO_CHILD_REPLACED\"; "
                                 "echo \"removed=${KAVO_CHILD_REMOVED-unset}\"; pwd -P"},
                        .env = {"KAVO_CHILD_ADDED=a value", "KAVO_CHILD_REPLACED=new", "KAVO_CHILD_REMOVED"},
                        .workingDir = dir.Path().string(),
                        .out = Output::Capture});
    const std::string output = child.ReadAll(10s);
    EXPECT_EQ(child.Wait(10s), 0);
    EXPECT_EQ(output, "added=a value\n1\nreplaced=new\nremoved=unset\n" +
                          fs::canonical(dir.Path()).string() + "\n");
    EXPECT_STREQ(::getenv("KAVO_CHILD_REPLACED"), "old");
    EXPECT_STREQ(::getenv("KAVO_CHILD_REMOVED"), "here");
    ::unsetenv("KAVO_CHILD_REPLACED");
    ::unsetenv("KAVO_CHILD_REMOVED");
}

TEST(ChildProcessSetup, ABareNameIsLookedUpInTheChildsPath) {
    TempFolder dir;
    const fs::path script = dir.Path() / "kavo-probe";
    std::ofstream(script) << "#!/bin/sh\necho probe ran\n";
    fs::permissions(script, fs::perms::owner_all);
    ChildProcess child({.argv = {"kavo-probe"}, .env = {"PATH=/nonexistent:" + dir.Path().string()},
                        .out = Output::Capture});
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_EQ(child.Program(), script.string());
    EXPECT_EQ(child.WaitLine("probe", 10s), "probe ran");
    EXPECT_EQ(child.Wait(10s), 0);
}

TEST(ChildProcessSetup, HasOpenSeesTheChildsDescriptors) {
    TempFolder dir;
    const fs::path held = dir.Path() / "held.txt";
    std::ofstream(held) << "x";
    ChildProcess child(CapturedShell("exec 3<'" + held.string() + "'; echo ready; while :; do sleep 1; done"));
    ASSERT_EQ(child.WaitLine("ready", 10s), "ready");
    EXPECT_TRUE(child.HasOpen(held.string()));
    EXPECT_FALSE(child.HasOpen((dir.Path() / "other.txt").string()));
}

}  // namespace
}  // namespace kavo::sim
