#include "port_fixture.h"

#include <cstdlib>

namespace kavo::test {

HandlerLog& HandlerLog::Get() {
    static HandlerLog log;
    return log;
}

void HandlerLog::Reset() {
    std::lock_guard lock(mutex);
    deliveries_.clear();
    bytes_.clear();
    takeLimit = -1;
    extra = nullptr;
    dispatcher = nullptr;
}

void HandlerLog::Record(const Delivery& delivery, const std::vector<std::uint8_t>& bytes) {
    {
        std::lock_guard lock(mutex);
        deliveries_.push_back(delivery);
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    changed_.notify_all();
}

bool HandlerLog::WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
    // Wakes on each delivery, and looks again every few milliseconds for conditions that no
    // delivery announces (counts of the rings, thread states).
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::unique_lock lock(mutex);
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

std::vector<Delivery> HandlerLog::Deliveries() {
    std::lock_guard lock(mutex);
    return deliveries_;
}

std::vector<std::uint8_t> HandlerLog::Bytes() {
    std::lock_guard lock(mutex);
    return bytes_;
}

std::size_t HandlerLog::ByteCount() {
    std::lock_guard lock(mutex);
    return bytes_.size();
}

void RecordingHandler(std::uint32_t msg, std::uint32_t first, std::int32_t lParam) {
    HandlerLog& log = HandlerLog::Get();
    TApdBaseDispatcher* dispatcher;
    std::int64_t limit;
    std::function<void(const Delivery&)> extra;
    {
        std::lock_guard lock(log.mutex);
        dispatcher = log.dispatcher;
        limit = log.takeLimit;
        extra = log.extra;
    }
    std::vector<std::uint8_t> bytes;
    Delivery delivery{msg, first, lParam};
    if (msg == kTriggerAvail && dispatcher) {
        while ((limit < 0 || static_cast<std::int64_t>(bytes.size()) < limit) && dispatcher->InputReady()) {
            int byte = dispatcher->ReadChar();
            if (byte < 0) break;
            bytes.push_back(static_cast<std::uint8_t>(byte));
        }
    }
    if (extra) extra(delivery);
    log.Record(delivery, bytes);
}

void PortTest::SetUp() {
    HandlerLog::Get().Reset();
#ifdef _WIN32
    const char* line = std::getenv("KAVO_TEST_LINE_PORT");
    const char* far = std::getenv("KAVO_TEST_PEER_PORT");
    if (!line || !far) GTEST_SKIP() << "no line: run through tests/wine_line_pair.sh";
    port = std::atoi(line);
    peer = std::make_unique<TComPeer>(std::atoi(far));
    ASSERT_TRUE(peer->Opened()) << "COM" << far << " does not open";
    peer->ReadUntilQuiet(std::chrono::milliseconds(100), std::chrono::seconds(5));  // a case before left bytes
#else
    peer = std::make_unique<PtyPair>();
    std::string ports = std::to_string(port) + "=" + peer->DevicePath();
    setenv("KAVODOWN_PORTS", ports.c_str(), 1);
#endif
    UseDispatcher<TNativeDispatcher>();
}

void PortTest::TearDown() {
    dispatcher.reset();
    HandlerLog::Get().Reset();
    peer.reset();
#ifndef _WIN32
    unsetenv("KAVODOWN_PORTS");
#endif
}

int PortTest::Open(std::uint32_t outSize) {
    return dispatcher->OpenPort(PortName(), 115200, kParityNone, 8, 1, 4096, outSize, opDtrOn | opRtsOn);
}

std::string PortTest::PortName() const { return "\\\\.\\COM" + std::to_string(port); }

std::string PortTest::PortDevice() const {
#ifdef _WIN32
    return PortName();
#else
    return peer->DevicePath();
#endif
}

std::vector<std::uint8_t> Pattern(std::size_t count, std::size_t offset) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>((i + offset) * 7 + (i + offset) / 251);
    return bytes;
}

}  // namespace kavo::test
