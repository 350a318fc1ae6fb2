// A POSIX dispatcher whose worker threads can be made to fail on request, for the tests of what a
// worker's failure does to the port and to a transfer over it.
//
// Thread safety: Fail may be called from any thread; the failure happens on the worker's own.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "serial/posix_dispatcher.h"

namespace kavo::test {

enum class FaultedWorker { device, dispatcher, output };

inline const char* FaultedWorkerName(FaultedWorker worker) {
    switch (worker) {
    case FaultedWorker::device: return "device thread";
    case FaultedWorker::dispatcher: return "dispatcher thread";
    case FaultedWorker::output: return "output thread";
    }
    return "";
}

// The worker index that kWorkerFailed carries as its first parameter.
inline std::uint32_t FaultedWorkerIndex(FaultedWorker worker) { return static_cast<std::uint32_t>(worker); }

inline constexpr const char* kInjectedFault = "injected fault";

class FaultyDispatcher : public TApdPosixDispatcher {
public:
    using TApdPosixDispatcher::TApdPosixDispatcher;
    // The workers may still call WorkerTurn while the base closes: stop them first.
    ~FaultyDispatcher() override { Shutdown(); }

    // The worker raises kInjectedFault at its next round. The dispatcher thread fails the way a
    // program's own code makes it fail, by a procedure handler that raises at the next trigger;
    // no code of a program runs on the device and output threads, so they raise from WorkerTurn,
    // the device thread when the device next has input, the output thread when output is next
    // queued. (A block that the device takes at once never reaches the output thread: while the
    // output thread is to fail, the device takes nothing from a direct write. Input that the
    // dispatcher thread, watching the device as well, reads first never wakes the device thread:
    // while the device thread is to fail, reads take nothing, so the input stays for it.)
    void Fail(FaultedWorker worker) {
        if (worker == FaultedWorker::dispatcher) {
            AttachTriggerHandler(&Raise);
        } else {
            failing_ = static_cast<int>(worker);
        }
    }

    // No worker fails any more.
    void Heal() {
        DetachTriggerHandler(&Raise);
        failing_ = -1;
    }

protected:
    ssize_t WriteToDevice(int fd, const std::uint8_t* data, std::size_t count) override {
        if (failing_.load() == static_cast<int>(FaultedWorker::output)) {
            errno = EAGAIN;
            return -1;
        }
        return TApdPosixDispatcher::WriteToDevice(fd, data, count);
    }
    int DeviceRead(std::uint8_t* buffer, std::uint32_t count) override {
        if (failing_.load() == static_cast<int>(FaultedWorker::device)) return 0;
        return TApdPosixDispatcher::DeviceRead(buffer, count);
    }
    void WorkerTurn(TWorker worker) override {
        const FaultedWorker which = worker == TWorker::device ? FaultedWorker::device : FaultedWorker::output;
        if (worker != TWorker::dispatcher && failing_.load() == static_cast<int>(which))
            throw std::runtime_error(kInjectedFault);
    }

private:
    static void Raise(std::uint32_t, std::uint32_t, std::int32_t) { throw std::runtime_error(kInjectedFault); }

    std::atomic<int> failing_{-1};
};

}  // namespace kavo::test
