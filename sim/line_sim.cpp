#include "line_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kavo::sim {

namespace fs = std::filesystem;

namespace {

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

double Unit(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// True while some program has the subordinate end of this pty open. A master whose subordinate
// is closed reports POLLHUP whatever it is asked for.
bool SubordinateOpen(int master) {
    pollfd p{master, 0, 0};
    if (poll(&p, 1, 0) < 0) return true;
    return (p.revents & POLLHUP) == 0;
}

void MakeLink(const std::string& link, const std::string& target) {
    std::error_code ec;
    fs::path path(link);
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        fs::remove(path, ec);
    } else if (fs::exists(fs::symlink_status(path, ec))) {
        throw std::runtime_error("line simulator: " + link + " exists and is not a symlink");
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("line simulator: cannot link " + link + ": " + std::strerror(errno));
    }
}

void RemoveLink(const std::string& link, const std::string& target) {
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = 0;
    if (target == buf) unlink(link.c_str());  // leave a link that someone else has replaced
}

struct Pending {
    std::uint8_t byte;
    std::int64_t dueNs;
};

struct Direction {
    int index = 0;  // 0 = A to B, 1 = B to A
    int from = 0, to = 1;
    LineFaults faults;
    std::deque<Pending> queue;
    std::int64_t epochStartNs = 0;  // start of the current unbroken run of bytes on the line
    std::int64_t epochBits = 0;
    std::int64_t lineFreeNs = 0;    // when the last accepted byte has left the line
    std::int64_t stallUntilNs = 0;
    bool blocked = false;  // the receiving end's buffer was full at the last write
    bool cutArmed = false;
    std::int64_t cutDueNs = 0;
    LineDirectionCounts counts;
};

struct Side {
    int fd = -1;
    bool open = false;
    // Closed by its program, which may have left bytes in the pty that the cable had no room
    // for yet: they still cross, as a closing port lets its queued output leave. Cleared once a
    // read finds the pty empty (EIO) or the end opens again.
    bool unread = false;
    unsigned opens = 0, closes = 0;
};

}  // namespace

int BitsPerByte(const LineSimOptions& options) {
    return 1 + options.dataBits + (options.parity ? 1 : 0) + options.stopBits;
}

ByteFate FateOfByte(std::uint64_t seed, int direction, std::uint64_t index, const LineFaults& faults) {
    ByteFate fate;
    std::uint64_t h = Mix(Mix(Mix(seed) ^ static_cast<std::uint64_t>(direction + 1)) ^ index);
    if (faults.dropProbability > 0 && Unit(h) < faults.dropProbability) {
        fate.drop = true;
        return fate;
    }
    h = Mix(h);
    if (faults.corruptProbability > 0 && Unit(h) < faults.corruptProbability) {
        fate.flipMask = static_cast<std::uint8_t>(1u << (Mix(h) & 7u));
    }
    return fate;
}

std::string FormatCounts(const LineSimCounts& c) {
    std::ostringstream out;
    auto dir = [&](const char* name, const LineDirectionCounts& d) {
        out << name << ": received " << d.received << ", delivered " << d.delivered << ", corrupted "
            << d.corrupted << ", dropped " << d.dropped << ", stalls " << d.stalls
            << ", lost while closed " << d.lostClosed << ", discarded at cut " << d.discardedAtCut
            << "\n";
    };
    dir("A->B", c.aToB);
    dir("B->A", c.bToA);
    out << "end A: opened " << c.opensA << ", closed " << c.closesA << "; end B: opened " << c.opensB
        << ", closed " << c.closesB << "; cable " << (c.cut ? "cut" : "intact") << "\n";
    return out.str();
}

LineSim::LineSim(LineSimOptions options) : options_(std::move(options)) {
    if (options_.dataBits < 5 || options_.dataBits > 8 || options_.stopBits < 1 || options_.stopBits > 2) {
        throw std::invalid_argument("line simulator: unsupported frame format");
    }
    auto makeEnd = [](int& master, std::string& path) {
        int sub = -1;
        char name[128] = {};
        if (openpty(&master, &sub, name, nullptr, nullptr) != 0) {
            throw std::runtime_error(std::string("line simulator: openpty: ") + std::strerror(errno));
        }
        // Raw mode persists on the pty while the master lives, so the first program to open the
        // end finds a clean 8-bit line even before it sets its own mode.
        termios tio{};
        tcgetattr(sub, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(sub, TCSANOW, &tio);
        close(sub);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        path = name;
    };
    try {
        makeEnd(masterA_, pathA_);
        makeEnd(masterB_, pathB_);
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        doneFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0 || doneFd_ < 0) throw std::runtime_error("line simulator: eventfd failed");
        if (!options_.usbDeviceA.empty()) PlaceOnUsbDevice();
        if (!options_.linkA.empty()) {
            MakeLink(options_.linkA, pathA_);
            linkAMade_ = true;
        }
        if (!options_.linkB.empty()) {
            MakeLink(options_.linkB, pathB_);
            linkBMade_ = true;
        }
    } catch (...) {
        if (linkAMade_) RemoveLink(options_.linkA, pathA_);
        RemoveTtyEntry();
        for (int fd : {masterA_, masterB_, wakeFd_, doneFd_}) {
            if (fd >= 0) close(fd);
        }
        throw;
    }
}

void LineSim::PlaceOnUsbDevice() {
    const fs::path device(options_.usbDeviceA);
    const fs::path interface = device / (device.filename().string() + ":1.0");
    const fs::path entry = fs::path(options_.sysfsRoot) / "class/tty" / fs::path(pathA_).filename();
    std::error_code ec;
    fs::create_directories(interface, ec);
    if (!ec) fs::create_directories(entry, ec);
    if (!ec) {
        fs::remove(entry / "device", ec);
        fs::create_directory_symlink(interface, entry / "device", ec);
    }
    if (ec) throw std::runtime_error("line simulator: cannot place end A on " + device.string() + ": " + ec.message());
    ttyEntryA_ = entry.string();
}

void LineSim::RemoveTtyEntry() {
    if (ttyEntryA_.empty()) return;
    std::error_code ec;
    fs::remove(fs::path(ttyEntryA_) / "device", ec);
    fs::remove(ttyEntryA_, ec);
    ttyEntryA_.clear();
}

LineSim::~LineSim() {
    Stop();
    if (linkAMade_) RemoveLink(options_.linkA, pathA_);
    if (linkBMade_) RemoveLink(options_.linkB, pathB_);
    RemoveTtyEntry();
    for (int fd : {masterA_, masterB_, wakeFd_, doneFd_}) {
        if (fd >= 0) close(fd);
    }
}

void LineSim::Start() {
    if (thread_.joinable() || finished_) return;
    // The thread gets its stop token as an argument: reading thread_ from inside it would race
    // with this assignment.
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void LineSim::Stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
}

LineSimCounts LineSim::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

bool LineSim::WaitFinished(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    finishedCv_.wait_for(lock, deadline, [this] { return finished_.load(); });
    return finished_.load();
}

namespace {

// The cable between the two masters: what each end wrote, on its way to the other end at the
// line's speed with its faults, and the state of both ends.
class TCable {
public:
    TCable(const LineSimOptions& options, int masterA, int masterB)
        : options_(options),
          latencyNs_(static_cast<std::int64_t>(options.latencyMs) * 1000000LL),
          granularityNs_(std::chrono::duration_cast<std::chrono::nanoseconds>(options.granularity).count()),
          bits_(BitsPerByte(options)),
          limit_(std::max<std::size_t>(options.queueLimit, 1)) {
        sides_[0].fd = masterA;
        sides_[1].fd = masterB;
        for (Side& s : sides_) NoteOpen(s, SubordinateOpen(s.fd));
        dirs_[0].index = 0, dirs_[0].from = 0, dirs_[0].to = 1, dirs_[0].faults = options.aToB;
        dirs_[1].index = 1, dirs_[1].from = 1, dirs_[1].to = 0, dirs_[1].faults = options.bToA;
    }

    // Writes what is due to the receiving ends; true once a cut is due (the line is pulled).
    bool DeliverDue(std::int64_t now) {
        for (Direction& d : dirs_) Deliver(d, now);
        for (const Direction& d : dirs_) {
            if (d.cutArmed && now >= d.cutDueNs && (d.queue.empty() || d.queue.front().dueNs > d.cutDueNs)) {
                return true;
            }
        }
        return false;
    }

    // The poll set for the two ends (pfds[1], pfds[2]) and the time to wake up at, if any: input,
    // room on a blocked end, the next due byte, or a closed end to look at again.
    std::int64_t PrepareWait(pollfd* pfds, std::int64_t now) const {
        bool anyClosed = false;
        for (int s = 0; s < 2; ++s) {
            short events = 0;
            const Direction& outgoing = dirs_[s];      // sides_[s] sends dirs_[s]
            const Direction& incoming = dirs_[1 - s];  // and receives dirs_[1 - s]
            if (outgoing.queue.size() < limit_ && !outgoing.cutArmed) events |= POLLIN;
            if (incoming.blocked) events |= POLLOUT;
            // A closed end reports POLLHUP all the time; it is checked on a short timer instead,
            // and watched only while what it left can be taken.
            const Side& side = sides_[s];
            anyClosed = anyClosed || !side.open;
            const bool watched = side.open || (side.unread && (events & POLLIN));
            pfds[s] = watched ? pollfd{side.fd, events, 0} : pollfd{-1, 0, 0};
        }
        std::int64_t wakeAt = std::numeric_limits<std::int64_t>::max();
        for (const Direction& d : dirs_) {
            if (!d.queue.empty() && !d.blocked) wakeAt = std::min(wakeAt, d.queue.front().dueNs);
            if (d.cutArmed) wakeAt = std::min(wakeAt, d.cutDueNs);
        }
        if (anyClosed) wakeAt = std::min(wakeAt, now + std::int64_t{10000000});
        return wakeAt;
    }

    // Takes what the poll reported for the two ends.
    void Serve(const pollfd* pfds, std::int64_t now) {
        for (int s = 0; s < 2; ++s) {
            Side& side = sides_[s];
            const short rev = pfds[s].revents;
            if (!side.open) {
                NoteOpen(side, SubordinateOpen(side.fd));
                if (!side.open && side.unread && (rev & (POLLIN | POLLHUP | POLLERR))) {
                    side.unread = !ReadEnd(side, dirs_[s], now);
                }
                continue;
            }
            if (rev & POLLOUT) dirs_[1 - s].blocked = false;
            if (!(rev & (POLLIN | POLLHUP | POLLERR))) continue;
            const bool closed = ReadEnd(side, dirs_[s], now);
            if (closed || ((rev & POLLHUP) && !SubordinateOpen(side.fd))) {
                NoteOpen(side, false);
                side.unread = !closed;
            }
        }
    }

    // What was still on the cable when it was cut is lost.
    void DiscardAtCut() {
        for (Direction& d : dirs_) {
            d.counts.discardedAtCut += d.queue.size();
            d.queue.clear();
        }
    }

    void CopyCounts(LineSimCounts& counts) const {
        counts.aToB = dirs_[0].counts;
        counts.bToA = dirs_[1].counts;
        counts.opensA = sides_[0].opens, counts.closesA = sides_[0].closes;
        counts.opensB = sides_[1].opens, counts.closesB = sides_[1].closes;
    }

private:
    static void NoteOpen(Side& s, bool open) {
        if (open == s.open) return;
        s.open = open;
        s.unread = !open;
        if (open) ++s.opens;
        else ++s.closes;
    }

    // Reads what the end wrote while the queue has room; true when the end was closed (EIO).
    bool ReadEnd(Side& side, Direction& d, std::int64_t now) {
        std::uint8_t buf[4096];
        while (d.queue.size() < limit_ && !d.cutArmed) {
            const std::size_t room = std::min(sizeof buf, limit_ - d.queue.size());
            const ssize_t n = read(side.fd, buf, room);
            if (n > 0) {
                Accept(d, buf, static_cast<std::size_t>(n), now);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return !(n < 0 && errno == EAGAIN);
            }
        }
        return false;
    }

    // When the byte has crossed the line: at the line's speed after the previous one, or at once
    // on an unpaced line.
    std::int64_t LineFinish(Direction& d, std::int64_t now) {
        const std::int64_t start = std::max(now, d.stallUntilNs);
        if (options_.baud == 0) return std::max(start, d.lineFreeNs);
        if (start > d.lineFreeNs || d.epochBits > (1LL << 40)) {
            // The line was idle (or the run is very long): a new run starts here.
            d.epochStartNs = std::max(start, d.lineFreeNs);
            d.epochBits = 0;
        }
        d.epochBits += bits_;
        return d.epochStartNs + d.epochBits * 1000000000LL / static_cast<std::int64_t>(options_.baud);
    }

    void Accept(Direction& d, const std::uint8_t* data, std::size_t n, std::int64_t now) {
        for (std::size_t i = 0; i < n; ++i) {
            if (d.cutArmed) {
                ++d.counts.discardedAtCut;
                continue;
            }
            const std::uint64_t index = ++d.counts.received;
            const ByteFate fate = FateOfByte(options_.seed, d.index, index, d.faults);
            const std::int64_t finish = LineFinish(d, now);
            d.lineFreeNs = finish;
            if (d.faults.stallAfterByte != 0 && index == d.faults.stallAfterByte && d.faults.stallMs > 0) {
                d.stallUntilNs = finish + static_cast<std::int64_t>(d.faults.stallMs) * 1000000LL;
                ++d.counts.stalls;
            }
            const std::int64_t due = finish + latencyNs_;
            if (fate.drop) {
                ++d.counts.dropped;
            } else {
                if (fate.flipMask != 0) ++d.counts.corrupted;
                d.queue.push_back({static_cast<std::uint8_t>(data[i] ^ fate.flipMask), due});
            }
            if (d.faults.cutAfterBytes != 0 && index == d.faults.cutAfterBytes) {
                d.cutArmed = true;
                d.cutDueNs = due;
            }
        }
    }

    // Drops the first n queued bytes: the receiving end is closed.
    static void LoseClosed(Direction& d, std::size_t n) {
        d.counts.lostClosed += n;
        d.queue.erase(d.queue.begin(), d.queue.begin() + static_cast<std::ptrdiff_t>(n));
        d.blocked = false;
    }

    void Deliver(Direction& d, std::int64_t now) {
        std::size_t n = 0;
        while (n < d.queue.size() && d.queue[n].dueNs <= now + granularityNs_) ++n;
        if (n == 0) return;
        Side& to = sides_[d.to];
        NoteOpen(to, SubordinateOpen(to.fd));
        if (!to.open) return LoseClosed(d, n);
        std::vector<std::uint8_t> buf(n);
        for (std::size_t i = 0; i < n; ++i) buf[i] = d.queue[i].byte;
        const ssize_t w = write(to.fd, buf.data(), n);
        if (w > 0) {
            d.counts.delivered += static_cast<std::uint64_t>(w);
            d.queue.erase(d.queue.begin(), d.queue.begin() + w);
            d.blocked = static_cast<std::size_t>(w) < n;
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            d.blocked = true;
        } else {
            // The end went away between the check and the write.
            NoteOpen(to, false);
            LoseClosed(d, n);
        }
    }

    const LineSimOptions& options_;
    const std::int64_t latencyNs_, granularityNs_;
    const int bits_;
    const std::size_t limit_;
    Side sides_[2];
    Direction dirs_[2];
};

// A hang-up discards what the far program has not read yet. Bytes that crossed the cable before
// the cut are its to read, so it gets a moment to take them.
void LetEndsReadWhatCrossed(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    // The pty hands written bytes to the reading side asynchronously: a short first pause lets
    // them land before the count of unread bytes means anything.
    poll(nullptr, 0, 20);
    const std::int64_t until = NowNs() + 200000000LL;
    int pending = 0;
    while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0 && NowNs() < until) {
        poll(nullptr, 0, 2);
    }
    close(fd);
}

}  // namespace

void LineSim::Run(std::stop_token stop) {
    TCable cable(options_, masterA_, masterB_);
    const auto publish = [&] {
        std::lock_guard lock(mutex_);
        cable.CopyCounts(counts_);
    };
    bool cut = false;
    while (!stop.stop_requested()) {
        std::int64_t now = NowNs();
        if ((cut = cable.DeliverDue(now))) break;
        publish();

        // Wait for the ends, the next due byte, or a stop request.
        pollfd pfds[3];
        pfds[0] = {wakeFd_, POLLIN, 0};
        const std::int64_t wakeAt = cable.PrepareWait(pfds + 1, now);
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wakeAt != std::numeric_limits<std::int64_t>::max()) {
            const std::int64_t wait = std::max<std::int64_t>(wakeAt - now, 0);
            timeout.tv_sec = wait / 1000000000LL;
            timeout.tv_nsec = wait % 1000000000LL;
            timeoutPtr = &timeout;
        }
        if (ppoll(pfds, 3, timeoutPtr, nullptr) < 0 && errno != EINTR) break;
        if (pfds[0].revents & POLLIN) {
            std::uint64_t v;
            (void)!read(wakeFd_, &v, sizeof v);
        }
        cable.Serve(pfds + 1, NowNs());
    }

    if (cut) {
        cable.DiscardAtCut();
        for (const std::string& path : {pathA_, pathB_}) LetEndsReadWhatCrossed(path);
        // Closing the masters hangs up both ends, as pulling the adapter out does.
        std::lock_guard lock(mutex_);
        close(masterA_);
        close(masterB_);
        masterA_ = masterB_ = -1;
    }
    publish();
    {
        std::lock_guard lock(mutex_);
        counts_.cut = cut;
        finished_ = true;
    }
    finishedCv_.notify_all();
    std::uint64_t one = 1;
    (void)!write(doneFd_, &one, sizeof one);
}

}  // namespace kavo::sim
