// A line for driving the transfer engine in-process: the test queues the receiver's bytes, reads
// what the engine sent, sets the output-ring figures and fires timer and status events itself.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "transfer/protocol_line.h"

namespace kavo::test {

class ScriptedLine : public TProtocolLine {
public:
    bool open = true;
    bool gone = false;
    bool carrier = true;
    std::uint32_t bitsPerCharacter = 10;
    std::uint32_t baud = 115200;
    std::uint32_t outSize = 8192;
    std::uint32_t outUsed = 0;  // what OutputUsed reports (the test moves it)
    std::deque<std::uint8_t> input;
    std::vector<std::uint8_t> sent;  // every byte queued, in order
    std::size_t outputFlushes = 0;
    std::size_t inputFlushes = 0;
    std::map<std::int32_t, std::int32_t> timerArmedTicks;   // last length armed
    std::map<std::int32_t, std::int32_t> timerTicksLeft;    // what TimerTicksLeft reports
    std::map<std::int32_t, std::uint32_t> statusArmedValue;
    std::vector<std::int32_t> triggers;
    std::vector<TProtocolTriggerProc> handlers;
    void* userData = nullptr;
    std::int32_t handle = 7;
    std::int32_t nextTrigger = 1;
    std::uint32_t availLevel = 0;

    bool IsOpen() override { return open && !gone; }
    bool DeviceGone() override { return gone; }
    std::int32_t DispatcherHandle() override { return handle; }
    std::uint32_t BitsPerCharacter() override { return bitsPerCharacter; }
    std::uint32_t Baud() override { return baud; }

    bool InputReady() override { return !input.empty(); }
    std::int32_t ReadChar() override {
        if (input.empty()) return -3007;
        const std::uint8_t byte = input.front();
        input.pop_front();
        return byte;
    }
    std::int32_t SendChar(std::uint8_t byte) override { return SendBlock(&byte, 1); }
    std::int32_t SendBlock(const std::uint8_t* data, std::uint32_t length) override {
        if (gone) return -2007;
        if (length > outSize - outUsed) return -3006;
        sent.insert(sent.end(), data, data + length);
        return 0;
    }
    std::uint32_t InputUsed() override { return static_cast<std::uint32_t>(input.size()); }
    std::uint32_t InputFree() override { return 8192 - InputUsed(); }
    std::uint32_t OutputUsed() override { return outUsed; }
    std::uint32_t OutputFree() override { return outSize - outUsed; }
    // Nothing moves the output of a scripted line but the test.
    bool WaitOutputDrained(std::uint32_t) override { return outUsed == 0; }
    std::int32_t FlushInput() override {
        ++inputFlushes;
        input.clear();
        return 0;
    }
    std::int32_t FlushOutput() override {
        ++outputFlushes;
        outUsed = 0;
        return 0;
    }
    bool CarrierPresent() override { return carrier; }

    void SetAvailTriggerLevel(std::uint32_t level) override { availLevel = level; }
    std::int32_t CreateTimerTrigger() override {
        const std::int32_t h = 8 * nextTrigger++;
        triggers.push_back(h);
        return h;
    }
    std::int32_t CreateStatusTrigger(std::uint32_t kind) override {
        const std::int32_t h = (8 * nextTrigger++) | static_cast<std::int32_t>(kind);
        triggers.push_back(h);
        return h;
    }
    std::int32_t DeleteTrigger(std::int32_t h) override {
        for (auto it = triggers.begin(); it != triggers.end(); ++it) {
            if (*it == h) {
                triggers.erase(it);
                return 0;
            }
        }
        return -5003;
    }
    std::int32_t ArmTimerTrigger(std::int32_t h, std::int32_t ticks) override {
        timerArmedTicks[h] = ticks;
        return 0;
    }
    std::int32_t ArmStatusTrigger(std::int32_t h, std::uint32_t value) override {
        statusArmedValue[h] = value;
        return 0;
    }
    std::int32_t TimerTicksLeft(std::int32_t h, std::int32_t* left) override {
        auto it = timerTicksLeft.find(h);
        *left = it == timerTicksLeft.end() ? 0 : it->second;
        return 0;
    }
    std::int32_t SetUserData(void* data) override {
        userData = data;
        return 0;
    }
    void AttachTriggerHandler(TProtocolTriggerProc proc) override { handlers.push_back(proc); }
    void DetachTriggerHandler(TProtocolTriggerProc proc) override {
        for (auto it = handlers.begin(); it != handlers.end(); ++it) {
            if (*it == proc) {
                handlers.erase(it);
                return;
            }
        }
    }
    void AddLogEntry(std::uint32_t, std::uint32_t, const char*) override {}

    void Receive(std::initializer_list<std::uint8_t> bytes) { input.insert(input.end(), bytes); }
    void Receive(std::uint8_t byte, std::size_t count) { input.insert(input.end(), count, byte); }
};

}  // namespace kavo::test
