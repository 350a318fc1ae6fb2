// A dispatcher on one end of a pty pair, and a procedure handler that records what it is told.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pty_pair.h"
#include "serial/dispatcher.h"
#include "serial/posix_dispatcher.h"

namespace kavo::test {
using namespace kavo::sim;

struct Delivery {
    std::uint32_t msg;
    std::uint32_t first;
    std::int32_t lParam;
};

// What the procedure handler saw. The handler runs on the dispatcher thread; the test waits.
class HandlerLog {
public:
    static HandlerLog& Get();
    void Reset();
    // Called by the handler (dispatcher thread).
    void Record(const Delivery& delivery, const std::vector<std::uint8_t>& bytes);
    // Waits until the predicate over the log holds or the deadline passes.
    bool WaitFor(const std::function<bool()>& predicate,
                 std::chrono::milliseconds deadline = std::chrono::seconds(10));
    std::vector<Delivery> Deliveries();
    std::vector<std::uint8_t> Bytes();
    std::size_t ByteCount();

    // What the handler does on an availability message: read up to takeLimit bytes (-1: all).
    std::int64_t takeLimit = -1;
    std::function<void(const Delivery&)> extra;  // runs after reading, on the dispatcher thread
    TApdBaseDispatcher* dispatcher = nullptr;

    std::mutex mutex;

private:
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
    std::vector<std::uint8_t> bytes_;
};

void RecordingHandler(std::uint32_t msg, std::uint32_t first, std::int32_t lParam);

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens COM<kPort> at 115200 8N1 with the given output ring size; 0 or the error.
    int Open(std::uint32_t outSize = 4096);
    // Makes a new dispatcher of type `T` (with no owner window) the fixture's, in place of the one
    // it had, and the one the recording handler reads from; returns it.
    template <class T>
    T* UseDispatcher() {
        auto made = std::make_unique<T>(nullptr);
        T* used = made.get();
        dispatcher = std::move(made);
        std::lock_guard lock(HandlerLog::Get().mutex);
        HandlerLog::Get().dispatcher = used;
        return used;
    }

    static constexpr int kPort = 41;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<TApdPosixDispatcher> dispatcher;
};

// Bytes 0..255 repeated, `count` long, starting at `offset`.
std::vector<std::uint8_t> Pattern(std::size_t count, std::size_t offset = 0);

}  // namespace kavo::test
