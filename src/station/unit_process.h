// The child process of one unit: `kavodown --batch --device PATH --progress json ...`, its
// stream of JSON objects read line by line, and its end.
//
// The child runs in a process group of its own (a Ctrl-C at the terminal reaches the station,
// which stops the children itself), with the standard error on /dev/null, SIGINT, SIGTERM and
// SIGPIPE at their defaults and no signal blocked. Its end is taken through a pidfd where the
// kernel has one (the station polls it), never through SIGCHLD, so the station may run on any
// thread of a process that has other threads and children of its own.
//
// Thread safety: a TUnitProcess belongs to the station's thread.
#pragma once

#include "platform/json_text.h"
#include "platform/unique_fd.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kavo::station {

// What a unit's child is started with.
struct TUnitLaunch {
    std::string program;    // the program itself
    std::string device;     // the slot's device path
    std::string image;      // the firmware's private copy
    std::string configDir;  // a settings folder of the slot's own
    int silenceLimitSeconds = 0;
    bool ddd = false;
    bool usb = false;
};

// The child's arguments, the program first.
std::vector<std::string> UnitArguments(const TUnitLaunch& launch);
// The child's environment: `environment` with the settings folder set to `configDir` and the
// windows drawn offscreen.
std::vector<std::string> UnitEnvironment(char** environment, const std::string& configDir);

// What the child's end object said.
struct TUnitReport {
    bool ended = false;  // the end object came
    int code = 0;
    std::string line;    // its line of the standard error
    std::string sha256;  // of the image it sent
};

// How a unit ended, as the station counts it.
struct TUnitEnd {
    int code = 0;
    std::string line;  // "kavodown: ..." or "" for a success
};

// The end of a unit from its wait status and its report. An exit code that means flashed
// (`flashedCode`) counts only with an end object that names the station's image (`sha256`);
// a signal is a crash.
TUnitEnd UnitEndOf(int waitStatus, const TUnitReport& report, int flashedCode,
                   const std::string& sha256);

class TUnitProcess {
public:
    // Starts a child; null when it cannot be started.
    static std::unique_ptr<TUnitProcess> Start(const TUnitLaunch& launch);

    // Its progress stream; -1 once the stream has ended.
    int OutputFd() const { return output_.Get(); }
    // Readable once it has ended; -1 where the kernel has no pidfd (then Reap on a timer).
    int EndFd() const { return pidfd_.Get(); }

    // Reads what it wrote so far; `onProgress` hears each progress object.
    void ReadOutput(const std::function<void(const TJsonMembers&)>& onProgress);
    // Its wait status once it has ended (its output read to the end first), else nothing.
    std::optional<int> Reap(const std::function<void(const TJsonMembers&)>& onProgress);
    // Its own stop: it cancels the transfer and ends with 128 + SIGTERM.
    void Terminate();

    const TUnitReport& Report() const { return report_; }
    // Block errors, as its last object counted them.
    std::int64_t BlockErrors() const { return errors_; }

private:
    TUnitProcess(pid_t pid, TUniqueFd output);
    void Line(const std::string& line, const std::function<void(const TJsonMembers&)>& onProgress);

    pid_t pid_ = -1;
    TUniqueFd output_;
    TUniqueFd pidfd_;
    std::string pending_;  // an unfinished line
    TUnitReport report_;
    std::int64_t errors_ = 0;
};

}  // namespace kavo::station
