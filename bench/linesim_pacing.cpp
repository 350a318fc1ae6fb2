// Pacing accuracy of the line simulator: a one-way stream of 1 MiB at 115200 baud (8N1) must take
// 1048576 / 11520 s within 1 %. The time runs from the first byte written on end A to the last
// byte read on end B, which is N byte times when the line is never idle.
//
//   bench_linesim_pacing [--bytes N] [--baud B]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "line_sim.h"

int main(int argc, char** argv) {
    std::size_t bytes = 1u << 20;
    unsigned baud = 115200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--bytes") bytes = std::strtoull(argv[i + 1], nullptr, 10);
        else if (arg == "--baud") baud = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    if (bytes == 0 || baud == 0) {
        std::fprintf(stderr, "usage: bench_linesim_pacing [--bytes N] [--baud B]\n");
        return 2;
    }

    kavo::sim::LineSimOptions options;
    options.baud = baud;
    kavo::sim::LineSim sim(options);
    const int a = open(sim.PathA().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int b = open(sim.PathB().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (a < 0 || b < 0) {
        std::perror("open");
        return 1;
    }
    sim.Start();

    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    std::jthread writer([&] {
        std::size_t done = 0;
        while (done < bytes) {
            ssize_t n = write(a, data.data() + done, bytes - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{a, POLLOUT, 0};
                poll(&p, 1, 1000);
            }
        }
    });
    std::size_t got = 0;
    bool intact = true;
    std::uint8_t buf[8192];
    while (got < bytes) {
        pollfd p{b, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = read(b, buf, sizeof buf);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) intact = intact && buf[i] == data[got + static_cast<std::size_t>(i)];
        got += static_cast<std::size_t>(n);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    sim.Stop();
    close(a);
    close(b);

    auto cpu = [](const rusage& r) {
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    const double expected = static_cast<double>(bytes) * kavo::sim::BitsPerByte(options) / baud;
    const double deviation = (seconds - expected) / expected * 100.0;
    std::printf("bytes %zu of %zu, intact %s\n", got, bytes, intact ? "yes" : "no");
    std::printf("time %.3f s, expected %.3f s, deviation %+.3f %%\n", seconds, expected, deviation);
    std::printf("process CPU %.2f s (%.1f %% of the wall time)\n", cpu(after) - cpu(before),
                (cpu(after) - cpu(before)) / seconds * 100.0);
    const bool ok = got == bytes && intact && std::fabs(deviation) <= 1.0;
    std::printf("%s\n", ok ? "PASS (within 1 %)" : "FAIL");
    return ok ? 0 : 1;
}
