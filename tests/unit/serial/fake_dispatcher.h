// A dispatcher whose device is a pair of byte queues, without worker threads: tests run the
// service pass themselves on their own thread.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "serial/dispatcher.h"

namespace kavo::test {

class FakeDispatcher : public TApdBaseDispatcher {
public:
    FakeDispatcher() : TApdBaseDispatcher(nullptr) {}
    ~FakeDispatcher() override { Shutdown(); }

    int Open(std::uint32_t outSize = 100, std::uint32_t baud = 115200) {
        return OpenPort("\\\\.\\COM1", baud, kParityNone, 8, 1, 4096, outSize, opDtrOn | opRtsOn);
    }
    // Bytes the far side sends; they wait in the "driver" until a pass reads them.
    void Arrive(const std::string& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
    void Arrive(std::size_t count, std::uint8_t first = 0) {
        for (std::size_t i = 0; i < count; ++i) incoming.push_back(static_cast<std::uint8_t>(first + i));
    }
    // What the output thread would write: takes everything from the output ring.
    std::vector<std::uint8_t> DrainOutputRing() {
        std::lock_guard lock(OutputLock());
        std::vector<std::uint8_t> out;
        for (auto run = outRing_.NextRun(); !run.empty(); run = outRing_.NextRun()) {
            out.insert(out.end(), run.begin(), run.end());
            outRing_.Consume(static_cast<std::uint32_t>(run.size()));
        }
        return out;
    }
    void SetEventMask(std::uint32_t mask) { eventMask_ = mask; }
    // As the device layer does when the output thread (2; 0 device, 1 dispatcher) ended by an error.
    int RecordFailure(int worker, const std::string& text) {
        return RecordWorkerFailure(static_cast<TWorker>(worker), text);
    }
    bool Pass() {
        bool result = ServiceDevice();
        ServiceTimers();
        return result;
    }

    int DeviceEscape(int function) override {
        escapes.push_back(function);
        return refuseEscape ? -1 : 0;
    }
    int DevicePurge(bool input) override {
        if (input) incoming.clear();
        else DrainOutputRing();
        return 0;
    }
    std::uint32_t DeviceStatus(TDeviceStatusRecord& status) override {
        status.inQue = static_cast<std::uint32_t>(incoming.size());
        std::lock_guard lock(OutputLock());
        status.outQue = outRing_.Used();
        std::uint32_t errors = pendingErrors;
        pendingErrors = 0;
        return errors;
    }
    int DeviceGetState(TDeviceBlock& b) override {
        b = block;
        return 0;
    }
    int DeviceRead(std::uint8_t* buffer, std::uint32_t count) override {
        std::uint32_t n = 0;
        while (n < count && !incoming.empty()) {
            buffer[n++] = incoming.front();
            incoming.pop_front();
        }
        ++reads;
        return static_cast<int>(n);
    }
    int DeviceSetState(const TDeviceBlock& b) override {
        ++setStates;
        if (refuseState) return -22;
        block = b;
        return 0;
    }
    int DeviceWrite(const std::uint8_t* data, std::uint32_t count) override {
        outRing_.Queue(data, count);
        return static_cast<int>(count);
    }
    bool DeviceSetup(std::uint32_t, std::uint32_t) override { return true; }
    void StartThreads() override {}
    void StopThreads() override {}
    int DeviceOpen(const std::string&, std::uint32_t, std::uint32_t) override { return 3; }
    int DeviceClose() override { return 0; }
    int DeviceIdle() override { return 0; }
    std::uint8_t DeviceModemLevels() override { return levels; }
    int DeviceBreak(bool on) override {
        breaks.push_back(on);
        return 0;
    }

    std::deque<std::uint8_t> incoming;
    TDeviceBlock block;
    std::uint8_t levels = 0;
    std::uint32_t pendingErrors = 0;
    int setStates = 0;
    int reads = 0;
    bool refuseState = false;
    bool refuseEscape = false;
    std::vector<int> escapes;
    std::vector<bool> breaks;

protected:
    void ForgetThread(TWorker) override {}
    void ServiceDone() override {}
};

}  // namespace kavo::test
