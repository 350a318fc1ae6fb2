// A dispatcher on one end of a line, and a procedure handler that records what it is told. On
// Linux the line is a pty pair the fixture makes; a Windows program cannot make one, so there
// the test's driver (tests/wine_line_pair.sh) joins two of Wine's COM ports by a line and names
// them in KAVO_TEST_LINE_PORT (the dispatcher's) and KAVO_TEST_PEER_PORT (the far end's).
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

#include "serial/dispatcher.h"
#ifdef _WIN32
#include "serial/win32_dispatcher.h"
#include "win32_com_peer.h"
#else
#include "pty_pair.h"
#include "serial/posix_dispatcher.h"
#endif

namespace kavo::test {
#ifdef _WIN32
using TNativeDispatcher = TApdWin32Dispatcher;
using TLinePeer = TComPeer;
#else
using namespace kavo::sim;
using TNativeDispatcher = TApdPosixDispatcher;
using TLinePeer = PtyPair;
#endif

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

class PortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens COM<port> at 115200 8N1 with the given output ring size; 0 or the error.
    int Open(std::uint32_t outSize = 4096);
    // "\\.\COM<port>", the name the dispatcher is opened with.
    std::string PortName() const;
    // The device the dispatcher's port is: the pty's subordinate end, or the COM port itself.
    std::string PortDevice() const;
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

    int port = 41;
    // The line's far end: what the test writes there arrives at the dispatcher, and the other way.
    std::unique_ptr<TLinePeer> peer;
    std::unique_ptr<TNativeDispatcher> dispatcher;
};

// Bytes 0..255 repeated, `count` long, starting at `offset`.
std::vector<std::uint8_t> Pattern(std::size_t count, std::size_t offset = 0);

}  // namespace kavo::test
