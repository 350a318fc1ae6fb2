// Serial engine figures over a pty pair: round-trip latency (byte out, echo back, handler
// called), one-way throughput of an 8 MiB stream in each direction, and the cost of an idle
// open port. Run by hand: build/bin/bench_serial_pty
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial/native_dispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

kavo::TApdBaseDispatcher* theDispatcher = nullptr;
std::mutex mutex;
std::condition_variable arrived;
std::uint64_t received = 0;
std::uint64_t checksum = 0;

void Handler(std::uint32_t msg, std::uint32_t, std::int32_t) {
    if (msg != kavo::kTriggerAvail) return;
    std::uint64_t n = 0, sum = 0;
    while (theDispatcher->InputReady()) {
        int byte = theDispatcher->ReadChar();
        if (byte < 0) break;
        sum += static_cast<std::uint8_t>(byte);
        ++n;
    }
    {
        std::lock_guard lock(mutex);
        received += n;
        checksum += sum;
    }
    arrived.notify_all();
}

bool WaitReceived(std::uint64_t count, std::chrono::seconds deadline) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, deadline, [&] { return received >= count; });
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void MeasureIdle() {
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idle = (CpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("idle open port: %.3f %% of one core\n", idle * 100);
}

// Round trips: the far side echoes each byte at once.
bool MeasureRoundTrips(kavo::sim::PtyPair& pty, kavo::TApdBaseDispatcher& dispatcher) {
    std::atomic<bool> echoing{true};
    std::thread echo([&] {
        std::uint8_t buf[256];
        while (echoing) {
            pollfd p{pty.ControlFd(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = read(pty.ControlFd(), buf, sizeof buf);
            if (n > 0) pty.Write(std::vector<std::uint8_t>(buf, buf + n));
        }
    });
    std::vector<double> trips;
    bool lost = false;
    for (int i = 0; i < 2000 && !lost; ++i) {
        std::uint64_t before;
        {
            std::lock_guard lock(mutex);
            before = received;
        }
        auto start = Clock::now();
        dispatcher.SendChar(static_cast<std::uint8_t>(i));
        lost = !WaitReceived(before + 1, std::chrono::seconds(5));
        trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    echoing = false;
    echo.join();
    if (lost) {
        std::fprintf(stderr, "echo lost\n");
        return false;
    }
    std::sort(trips.begin(), trips.end());
    std::printf("round trip (2000): median %.0f us, p99 %.0f us, max %.0f us\n", trips[trips.size() / 2],
                trips[trips.size() * 99 / 100], trips.back());
    return true;
}

void MeasureInbound(kavo::sim::PtyPair& pty, const std::vector<std::uint8_t>& data, std::uint64_t expect) {
    {
        std::lock_guard lock(mutex);
        received = 0;
        checksum = 0;
    }
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::thread writer([&] { pty.Write(data); });
    const bool complete = WaitReceived(data.size(), std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    writer.join();
    std::printf("inbound 8 MiB: %s in %.2f s, %.1f MiB/s, checksum %s, cpu %.2f s\n",
                complete ? "complete" : "INCOMPLETE", seconds, 8 / seconds,
                checksum == expect ? "ok" : "BAD", CpuSeconds() - cpu0);
}

void MeasureOutbound(kavo::sim::PtyPair& pty, kavo::TApdBaseDispatcher& dispatcher,
                     const std::vector<std::uint8_t>& data, std::uint64_t expect) {
    const std::size_t size = data.size();
    std::atomic<std::size_t> got{0};
    std::uint64_t outSum = 0;
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(65536);
        while (got < size) {
            pollfd p{pty.ControlFd(), POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            ssize_t n = read(pty.ControlFd(), buf.data(), buf.size());
            for (ssize_t i = 0; i < n; ++i) outSum += buf[i];
            if (n > 0) got += static_cast<std::size_t>(n);
        }
    });
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::size_t sent = 0;
    while (sent < size) {
        std::uint32_t room = dispatcher.OutputFree();
        std::size_t chunk = std::min<std::size_t>(room, size - sent);
        if (chunk == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        dispatcher.SendBlock(data.data() + sent, static_cast<std::uint32_t>(chunk));
        sent += chunk;
    }
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("outbound 8 MiB: %.2f s, %.1f MiB/s, checksum %s, cpu %.2f s\n", seconds, 8 / seconds,
                outSum == expect ? "ok" : "BAD", CpuSeconds() - cpu0);
}

}  // namespace

int main() {
    kavo::sim::PtyPair pty;
    setenv("KAVODOWN_PORTS", ("90=" + pty.DevicePath()).c_str(), 1);
    auto native = kavo::MakeNativeDispatcher(nullptr);
    kavo::TApdBaseDispatcher& dispatcher = *native;
    theDispatcher = &dispatcher;
    if (dispatcher.OpenPort("\\\\.\\COM90", 115200, kavo::kParityNone, 8, 1, 4096, 8192, 3) != 0) {
        std::fprintf(stderr, "open failed: %s\n", dispatcher.LastOpenErrorText().c_str());
        return 1;
    }
    dispatcher.SetAvailTriggerLevel(1);
    dispatcher.AttachTriggerHandler(Handler);

    MeasureIdle();
    if (!MeasureRoundTrips(pty, dispatcher)) return 1;
    const std::size_t size = 8u << 20;
    std::vector<std::uint8_t> data(size);
    std::uint64_t expect = 0;
    for (std::size_t i = 0; i < size; ++i) expect += data[i] = static_cast<std::uint8_t>(i * 31 + i / 977);
    MeasureInbound(pty, data, expect);
    MeasureOutbound(pty, dispatcher, data, expect);
    dispatcher.ClosePort();
    return 0;
}
