#include "station/unit_process.h"

#include "platform/exit_codes.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavo::station {
namespace {

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The child's process: standard output into the pipe, standard error on /dev/null.
class TSpawnSetup {
public:
    explicit TSpawnSetup(int outputFd) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_adddup2(&actions_, outputFd, 1);
        posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(&attributes_,
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~TSpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    TSpawnSetup(const TSpawnSetup&) = delete;
    TSpawnSetup& operator=(const TSpawnSetup&) = delete;

    const posix_spawn_file_actions_t* Actions() const { return &actions_; }
    const posix_spawnattr_t* Attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

}  // namespace

std::vector<std::string> UnitArguments(const TUnitLaunch& launch) {
    std::vector<std::string> args{launch.program, "--batch", "--device", launch.device, "--progress",
                                  "json", "--silence-limit",
                                  std::to_string(launch.silenceLimitSeconds)};
    if (launch.ddd) args.push_back("--ddd");
    if (launch.usb) args.push_back("--same-usb-device");
    args.push_back(launch.image);
    if (launch.usb) args.push_back("USB");
    return args;
}

std::vector<std::string> UnitEnvironment(char** environment, const std::string& configDir) {
    std::vector<std::string> entries;
    for (char** e = environment; e && *e; ++e) {
        const std::string entry(*e);
        if (entry.starts_with("KAVODOWN_CONFIG_DIR=") || entry.starts_with("QT_QPA_PLATFORM=")) continue;
        entries.push_back(entry);
    }
    // A settings folder per slot: the children never write one file at the same time.
    entries.push_back("KAVODOWN_CONFIG_DIR=" + configDir);
    entries.push_back("QT_QPA_PLATFORM=offscreen");
    return entries;
}

TUnitEnd UnitEndOf(int waitStatus, const TUnitReport& report, int flashedCode,
                   const std::string& sha256) {
    if (WIFSIGNALED(waitStatus)) {
        return {kExitOtherError,
                "kavodown: the slot's run crashed (signal " + std::to_string(WTERMSIG(waitStatus)) + ")"};
    }
    if (!WIFEXITED(waitStatus)) return {kExitOtherError, ""};
    const int code = WEXITSTATUS(waitStatus);
    if (code == flashedCode && (!report.ended || report.sha256 != sha256)) {
        return {kExitOtherError, "kavodown: the image sent (SHA-256 " +
                                     (report.sha256.empty() ? std::string("unknown") : report.sha256) +
                                     ") is not the station's"};
    }
    return {code, report.ended ? report.line : std::string()};
}

TUnitProcess::TUnitProcess(pid_t pid, TUniqueFd output)
    : pid_(pid), output_(std::move(output)), pidfd_(OpenPidfd(pid)) {}

std::unique_ptr<TUnitProcess> TUnitProcess::Start(const TUnitLaunch& launch) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
    TUniqueFd readEnd(pipeFds[0]);
    const TUniqueFd writeEnd(pipeFds[1]);  // the child's copy stays open; ours closes here
    std::vector<std::string> args = UnitArguments(launch);
    std::vector<std::string> env = UnitEnvironment(environ, launch.configDir);
    const std::vector<char*> argv = Pointers(args), envp = Pointers(env);
    const TSpawnSetup setup(writeEnd.Get());
    pid_t pid = -1;
    if (::posix_spawn(&pid, launch.program.c_str(), setup.Actions(), setup.Attributes(), argv.data(),
                      envp.data()) != 0) {
        return nullptr;
    }
    ::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK);
    return std::unique_ptr<TUnitProcess>(new TUnitProcess(pid, std::move(readEnd)));
}

void TUnitProcess::ReadOutput(const std::function<void(const TJsonMembers&)>& onProgress) {
    char buffer[4096];
    while (output_) {
        const ssize_t count = ::read(output_.Get(), buffer, sizeof buffer);
        if (count < 0) return;  // nothing more for now
        if (count == 0) {
            output_.Reset();
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(count));
        std::size_t newline;
        while ((newline = pending_.find('\n')) != std::string::npos) {
            const std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            Line(line, onProgress);
        }
    }
}

void TUnitProcess::Line(const std::string& line,
                        const std::function<void(const TJsonMembers&)>& onProgress) {
    const auto members = ParseFlatJsonObject(line);
    if (!members) return;
    const std::string event = JsonText(*members, "event");
    errors_ = JsonInteger(*members, "errors", errors_);
    if (event == "progress") {
        onProgress(*members);
    } else if (event == "end") {
        report_.ended = true;
        report_.code = static_cast<int>(JsonInteger(*members, "code", kExitOtherError));
        report_.line = JsonText(*members, "outcome");
        report_.sha256 = JsonText(*members, "sha256");
    }
}

std::optional<int> TUnitProcess::Reap(const std::function<void(const TJsonMembers&)>& onProgress) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    ReadOutput(onProgress);  // what it wrote before it ended
    return status;
}

void TUnitProcess::Terminate() { ::kill(pid_, SIGTERM); }

}  // namespace kavo::station
