// The line simulator between two programs' ends: what arrives, what the faults do to it, and how
// it follows ends that close, reopen and hang up.
#include "line_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavo::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// One program's end of the cable, opened as a serial port would be.
class End {
public:
    explicit End(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    }
    ~End() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }

    void Write(const Bytes& bytes) { ASSERT_EQ(Fill(bytes, 30s), bytes.size()); }

    // Writes until all went, the line took nothing for `stall` (nobody reads the far end) or the
    // end hung up; the count written.
    std::size_t Fill(const Bytes& bytes, std::chrono::milliseconds stall = 500ms) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;  // hung up
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(stall.count())) <= 0) break;
        }
        return done;
    }

    // Reads until `count` bytes came, the line was quiet for `quiet`, or the end hung up.
    Bytes Read(std::size_t count, std::chrono::milliseconds quiet = 2000ms) {
        Bytes out;
        hungUp_ = false;
        while (out.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
            std::uint8_t buf[4096];
            ssize_t n = read(fd_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp_ = true;
                break;
            }
        }
        return out;
    }
    bool HungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

Bytes Pattern(std::size_t size, unsigned salt = 0) {
    Bytes b(size);
    std::uint32_t x = 2463534242u + salt;
    for (auto& v : b) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        v = static_cast<std::uint8_t>(x);
    }
    return b;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds deadline = 10s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Passage {
    Bytes received;
    LineSimCounts counts;
};

// Sends `data` from end A to end B through a fresh cable and returns what came out.
Passage SendThrough(LineSimOptions options, const Bytes& data) {
    LineSim sim(options);
    End a(sim.PathA()), b(sim.PathB());
    sim.Start();
    std::jthread writer([&] { a.Write(data); });
    Passage p;
    p.received = b.Read(data.size(), 1000ms);
    writer.join();
    EXPECT_TRUE(WaitFor([&] { return sim.Counts().aToB.received == data.size(); }));
    sim.Stop();
    p.counts = sim.Counts();
    return p;
}

TEST(LineSim, RelaysBothWaysUnchangedPacedAndUnpaced) {
    for (unsigned baud : {0u, 115200u}) {
        SCOPED_TRACE(baud);
        LineSimOptions options;
        options.baud = baud;
        LineSim sim(options);
        End a(sim.PathA()), b(sim.PathB());
        sim.Start();
        const Bytes toB = Pattern(baud ? 3000 : 65536, 1), toA = Pattern(1500, 2);
        std::jthread writerA([&] { a.Write(toB); });
        std::jthread writerB([&] { b.Write(toA); });
        // The quiet limit only ends a read that has already failed; a loaded machine may pause
        // the relay for a while without anything being wrong.
        Bytes gotA;
        std::jthread readerA([&] { gotA = a.Read(toA.size(), 10s); });
        const Bytes gotB = b.Read(toB.size(), 10s);
        readerA.join();
        // The relay publishes its counts after its writes, so a reader can be done before them.
        const bool delivered = WaitFor([&] {
            const LineSimCounts c = sim.Counts();
            return c.aToB.delivered == toB.size() && c.bToA.delivered == toA.size();
        });
        const LineSimCounts c = sim.Counts();
        SCOPED_TRACE(FormatCounts(c));
        EXPECT_EQ(gotB.size(), toB.size());
        EXPECT_EQ(gotB, toB);
        EXPECT_EQ(gotA.size(), toA.size());
        EXPECT_EQ(gotA, toA);
        ASSERT_TRUE(delivered);
        EXPECT_EQ(c.aToB.received, toB.size());
        EXPECT_EQ(c.bToA.received, toA.size());
        EXPECT_EQ(c.bToA.delivered, toA.size());
        EXPECT_EQ(c.aToB.corrupted + c.aToB.dropped + c.aToB.lostClosed, 0u);
        EXPECT_EQ(c.opensA, 1u);
        EXPECT_EQ(c.opensB, 1u);
        EXPECT_FALSE(c.cut);
    }
}

TEST(LineSim, CorruptionFlipsOneBitPerCountedByteAndFollowsTheSeed) {
    const Bytes data = Pattern(20000);
    LineSimOptions options;
    options.seed = 42;
    options.aToB.corruptProbability = 0.01;
    const Passage first = SendThrough(options, data);
    ASSERT_EQ(first.received.size(), data.size());
    std::uint64_t damaged = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const unsigned diff = data[i] ^ first.received[i];
        if (diff != 0) {
            ++damaged;
            EXPECT_EQ(__builtin_popcount(diff), 1) << "byte " << i;
        }
    }
    EXPECT_EQ(damaged, first.counts.aToB.corrupted);
    EXPECT_GT(damaged, 100u);  // 200 expected; the seed fixes the figure, these bounds only
    EXPECT_LT(damaged, 300u);  // catch a probability that is not applied per byte
    EXPECT_EQ(first.counts.bToA.corrupted, 0u);

    const Passage again = SendThrough(options, data);
    EXPECT_EQ(again.received, first.received);
    EXPECT_EQ(again.counts.aToB.corrupted, first.counts.aToB.corrupted);

    options.seed = 43;
    const Passage other = SendThrough(options, data);
    EXPECT_NE(other.received, first.received);
}

TEST(LineSim, DropRemovesCountedBytesAndFollowsTheSeed) {
    const Bytes data = Pattern(20000);
    LineSimOptions options;
    options.seed = 7;
    options.aToB.dropProbability = 0.02;
    const Passage first = SendThrough(options, data);
    EXPECT_EQ(first.received.size() + first.counts.aToB.dropped, data.size());
    EXPECT_GT(first.counts.aToB.dropped, 250u);
    EXPECT_LT(first.counts.aToB.dropped, 550u);
    // What arrives is the original with bytes left out, in order and otherwise unchanged.
    std::size_t j = 0;
    for (std::size_t i = 0; i < data.size() && j < first.received.size(); ++i) {
        if (data[i] == first.received[j]) ++j;
    }
    EXPECT_EQ(j, first.received.size());

    const Passage again = SendThrough(options, data);
    EXPECT_EQ(again.received, first.received);
}

TEST(LineSim, CutAfterNBytesHangsUpBothEnds) {
    LineSimOptions options;
    options.aToB.cutAfterBytes = 1000;
    LineSim sim(options);
    End a(sim.PathA()), b(sim.PathB());
    sim.Start();
    const Bytes data = Pattern(5000);
    a.Write(Bytes(data.begin(), data.begin() + 1500));
    const Bytes got = b.Read(5000, 5000ms);
    EXPECT_TRUE(b.HungUp());
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + 1000));
    ASSERT_TRUE(sim.WaitFinished(10s));
    a.Read(1, 2000ms);
    EXPECT_TRUE(a.HungUp());
    const LineSimCounts c = sim.Counts();
    EXPECT_TRUE(c.cut);
    EXPECT_EQ(c.aToB.delivered, 1000u);
}

TEST(LineSim, StallHoldsTheLineAfterByteKAndKeepsTheData) {
    LineSimOptions options;
    options.bToA.stallAfterByte = 100;
    options.bToA.stallMs = 300;
    LineSim sim(options);
    End a(sim.PathA()), b(sim.PathB());
    sim.Start();
    const Bytes data = Pattern(400);
    b.Write(data);
    const Bytes head = a.Read(100);
    const auto afterHead = std::chrono::steady_clock::now();
    const Bytes tail = a.Read(300);
    // A lower bound only: a slow machine can make the gap longer, never shorter.
    EXPECT_GE(std::chrono::steady_clock::now() - afterHead, 250ms);
    Bytes all = head;
    all.insert(all.end(), tail.begin(), tail.end());
    EXPECT_EQ(all, data);
    EXPECT_EQ(sim.Counts().bToA.stalls, 1u);
}

TEST(LineSim, FollowsAnEndThatClosesAndReopens) {
    LineSimOptions options;
    LineSim sim(options);
    End a(sim.PathA());
    sim.Start();
    {
        End b(sim.PathB());
        a.Write({'o', 'n', 'e'});
        EXPECT_EQ(b.Read(3), (Bytes{'o', 'n', 'e'}));
    }
    ASSERT_TRUE(WaitFor([&] { return sim.Counts().closesB == 1; }));
    a.Write({'l', 'o', 's', 't'});
    ASSERT_TRUE(WaitFor([&] { return sim.Counts().aToB.lostClosed == 4; }));
    End b(sim.PathB());
    a.Write({'t', 'w', 'o'});
    // Nothing sent while the end was closed is waiting for it now.
    EXPECT_EQ(b.Read(10, 500ms), (Bytes{'t', 'w', 'o'}));
    b.Write({'b', 'a', 'c', 'k'});
    EXPECT_EQ(a.Read(4), (Bytes{'b', 'a', 'c', 'k'}));
    const LineSimCounts c = sim.Counts();
    EXPECT_EQ(c.opensB, 2u);
    EXPECT_EQ(c.closesB, 1u);
    EXPECT_EQ(c.opensA, 1u);
}

TEST(LineSim, BytesAnEndWroteBeforeItClosedStillCross) {
    // Nobody reads end B: the cable fills, and what A wrote last is still in A's pty when A
    // closes. A closing port lets its queued bytes leave; they reach B all the same.
    LineSimOptions options;
    LineSim sim(options);
    End a(sim.PathA()), b(sim.PathB());
    sim.Start();
    const Bytes data = Pattern(1 << 20, 3);
    const std::size_t written = a.Fill(data);
    ASSERT_GT(written, options.queueLimit);
    ASSERT_LT(written, data.size());
    a.Close();
    ASSERT_TRUE(WaitFor([&] { return sim.Counts().closesA == 1; }));
    const Bytes got = b.Read(written, 5000ms);
    EXPECT_EQ(got.size(), written);
    EXPECT_TRUE(got == Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(written)));
}

TEST(LineSim, LinksNameTheEndsAndGoAway) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("linesim-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    LineSimOptions options;
    options.linkA = (dir / "sub" / "A").string();
    options.linkB = (dir / "B").string();
    {
        LineSim sim(options);
        EXPECT_EQ(fs::read_symlink(options.linkA).string(), sim.PathA());
        EXPECT_EQ(fs::read_symlink(options.linkB).string(), sim.PathB());
        sim.Start();
        End a(options.linkA), b(options.linkB);
        a.Write({'x'});
        EXPECT_EQ(b.Read(1), Bytes{'x'});
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkA)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkB)));

    // A file that is not a link is never replaced.
    std::ofstream(options.linkB) << "keep";
    EXPECT_THROW(LineSim{options}, std::runtime_error);
    EXPECT_TRUE(fs::is_regular_file(options.linkB));
    EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkA)));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kavo::sim
