#include "terminal_sim.h"

#include "fat_volume.h"
#include "platform/steady_clock.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kavo::sim {

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNever = INT64_MAX / 4;

// Results of a read besides a byte value.
constexpr int kTimeout = -1;  // the deadline of this read passed
constexpr int kEnd = -2;      // the session ends (stop, hang-up, session time limit); see endOutcome

std::string Hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

bool ProgramExists(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin:/usr/sbin:/sbin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Mount points listed in /proc/self/mountinfo (fifth field, with the octal escapes undone).
bool IsMounted(const std::string& mountPoint) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string f[5];
        for (auto& x : f) fields >> x;
        std::string point;
        for (std::size_t i = 0; i < f[4].size(); ++i) {
            if (f[4][i] == '\\' && i + 3 < f[4].size()) {
                point += static_cast<char>(std::stoi(f[4].substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                point += f[4][i];
            }
        }
        if (point == mountPoint) return true;
    }
    return false;
}

// Waits until mountPoint is (or is no longer) mounted. The mount table signals changes with
// POLLPRI, so no sleeping loop is needed.
bool WaitMountState(const std::string& mountPoint, bool mounted, std::int64_t timeoutMs, pid_t child) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    const std::int64_t end = SteadyNowMs() + timeoutMs;
    bool ok = false;
    while (true) {
        if (IsMounted(mountPoint) == mounted) {
            ok = true;
            break;
        }
        if (child > 0 && mounted) {
            int status;
            if (waitpid(child, &status, WNOHANG) == child) break;  // the file system gave up
        }
        std::int64_t left = end - SteadyNowMs();
        if (left <= 0) break;
        pollfd p{fd, POLLPRI, 0};
        // A short cap as well: the daemon's own exit is not announced through the mount table.
        poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 200)));
        if (p.revents & (POLLPRI | POLLERR)) {
            char buf[4096];
            lseek(fd, 0, SEEK_SET);
            while (read(fd, buf, sizeof buf) > 0) {
            }
        }
    }
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

std::vector<std::uint8_t> FramePacket(std::uint8_t command, const std::vector<std::uint8_t>& data) {
    const std::size_t n = std::min<std::size_t>(data.size(), 9999);
    std::vector<std::uint8_t> p;
    p.reserve(n + 5);
    p.push_back(kStx);
    p.push_back(command);
    p.push_back(static_cast<std::uint8_t>(((n / 1000) << 4) | (n / 100 % 10)));
    p.push_back(static_cast<std::uint8_t>(((n / 10 % 10) << 4) | (n % 10)));
    for (std::size_t i = 0; i < n; ++i) p.push_back(data[i]);
    std::uint8_t lrc = 0;
    for (auto b : p) lrc ^= b;
    p.push_back(lrc);
    return p;
}

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

const char* OutcomeName(TerminalSimResult::Outcome outcome) {
    using O = TerminalSimResult::Outcome;
    switch (outcome) {
        case O::Received: return "received";
        case O::UsbDelivered: return "usb-delivered";
        case O::SenderCancelled: return "sender-cancelled";
        case O::Failed: return "failed";
        case O::TimedOut: return "timed-out";
        case O::HungUp: return "hung-up";
        case O::FaultEnded: return "fault-ended";
        case O::Stopped: return "stopped";
    }
    return "?";
}

int TerminalSimResult::ExitCode() const {
    switch (outcome) {
        case Outcome::Received:
        case Outcome::UsbDelivered: return 0;
        case Outcome::FaultEnded: return 3;
        default: return 1;
    }
}

std::string TerminalSimResult::Summary() const {
    std::ostringstream out;
    out << "termsim: " << OutcomeName(outcome) << " bytes=" << data.size() << " blocks=" << blocks
        << " (1024:" << blocks1024 << " 128:" << blocks128 << ") retries=" << retries << " repeats=" << repeats
        << " check=" << (crc ? "crc16" : "checksum") << " crc32=" << Hex32(Crc32(data.data(), data.size()))
        << " ddd=" << dddAnswered << " packets=" << packets.size();
    if (answerAcks + answerNaks > 0) out << " answers=" << answerAcks << "ack/" << answerNaks << "nak";
    if (!usbFileName.empty()) out << " file=" << usbFileName;
    if (!message.empty()) out << " (" << message << ")";
    return out.str();
}

// One session on one port: the receiver's state and its byte source.
class TerminalSim::Session {
public:
    explicit Session(TerminalSim& owner) : o_(owner.options_), stopFd_(owner.stopFd_), owner_(owner) {}

    ~Session() {
        if (fd_ >= 0) close(fd_);
        TearDownVolume();
    }

    TerminalSimResult Run() {
        r_.crc = !o_.checksum;
        if (o_.timeoutMs > 0) sessionEnd_ = SteadyNowMs() + o_.timeoutMs;
        fd_ = open(o_.portPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return Fail("cannot open " + o_.portPath + ": " + std::strerror(errno));
        termios tio{};
        if (tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tio.c_cflag |= CLOCAL | CREAD;
            cfsetspeed(&tio, B115200);
            tcsetattr(fd_, TCSANOW, &tio);
        }
        if (o_.usb && !SetUpVolume()) return r_;
        {
            std::lock_guard lock(owner_.mutex_);
            owner_.ready_ = true;
        }
        owner_.cv_.notify_all();
        if (o_.onReady) o_.onReady();
        Loop();
        if (r_.outcome == TerminalSimResult::Outcome::Received) Finish();
        return r_;
    }

private:
    using Outcome = TerminalSimResult::Outcome;

    TerminalSimResult Fail(const std::string& message) {
        r_.outcome = Outcome::Failed;
        r_.message = message;
        return r_;
    }

    void End(Outcome outcome, const std::string& message = {}) {
        if (ended_) return;
        ended_ = true;
        r_.outcome = outcome;
        r_.message = message;
    }

    // The next received byte, kTimeout when `deadline` (ms, monotonic) passes first, or kEnd.
    int Next(std::int64_t deadline) {
        if (ended_) return kEnd;
        if (pos_ < len_) return buf_[pos_++];
        while (true) {
            const std::int64_t now = SteadyNowMs();
            if (now >= sessionEnd_) {
                End(silent() ? Outcome::FaultEnded : Outcome::TimedOut,
                    "session time limit");
                return kEnd;
            }
            const std::int64_t until = std::min(deadline, sessionEnd_);
            if (now >= until) return kTimeout;
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            const std::int64_t wait = std::min<std::int64_t>(until - now, 1000000);
            int rc = poll(p, 2, static_cast<int>(wait));
            if (rc < 0 && errno != EINTR) {
                End(Outcome::Failed, std::string("poll: ") + std::strerror(errno));
                return kEnd;
            }
            if (p[1].revents & POLLIN) {
                End(silent() ? Outcome::FaultEnded : Outcome::Stopped, "stopped");
                return kEnd;
            }
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = read(fd_, buf_, sizeof buf_);
                if (n > 0) {
                    pos_ = 0;
                    len_ = static_cast<std::size_t>(n);
                    return buf_[pos_++];
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                End(silentByFault_ ? Outcome::FaultEnded : Outcome::HungUp, "the port hung up");
                return kEnd;
            }
        }
    }

    int NextWithin(int ms) { return Next(SteadyNowMs() + ms); }

    void Send(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        const std::int64_t end = SteadyNowMs() + 5000;
        while (done < bytes.size() && SteadyNowMs() < end) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            } else {
                return;  // a hang-up shows at the next read
            }
        }
    }
    void Send(std::uint8_t b) { Send(std::vector<std::uint8_t>{b}); }

    // Reads and discards until the line has been quiet for purgeQuietMs.
    void Purge() {
        while (NextWithin(o_.purgeQuietMs) >= 0) {
        }
    }

    // A damaged or missing block: NAK it after the line is quiet, or give up after too many.
    void BlockError(const std::string& what) {
        Purge();
        if (ended_) return;
        ++errors_;
        if (errors_ > o_.maxErrors) {
            Send(std::vector<std::uint8_t>{kCan, kCan, kCan});
            End(Outcome::Failed, "too many errors, last: " + what);
            return;
        }
        ++r_.retries;
        Send(kNak);
    }

    void SendOwnPackets() {
        for (const auto& p : o_.sendPackets) Send(p);
        sentPackets_ = true;
    }

    // What the loop waits for besides the next byte.
    struct TWaits {
        std::int64_t nextHandshake = 0;  // the next 'C' (or NAK) before the first block
        int periods = 0;                 // handshake periods so far
        int garbageLeft = 0;             // garbage bytes still to send instead of a handshake
        std::int64_t packetDue = kNever; // when to send the terminal's own packets
        std::int64_t lastActivity = 0;   // the last byte received
    };

    // Nothing came by the deadline: the terminal's own packets, a handshake, or a block error.
    void TimedOut(TWaits& w, std::int64_t now) {
        if (now >= w.packetDue) {
            w.packetDue = kNever;
            if (!silent()) SendOwnPackets();
        }
        if (!started_ && !o_.usb && now >= w.nextHandshake) {
            ++w.periods;
            w.nextHandshake += o_.handshakeMs;
            if (!silent() && w.periods > o_.ignoreHandshakes) {
                if (w.garbageLeft > 0) {
                    --w.garbageLeft;
                    Send(o_.garbageByte);
                } else if (o_.talkForever) {
                    Send(Greeting());
                } else {
                    // The text and the start character leave in one write, as a loader that
                    // prints its prompt and then asks would send them.
                    std::vector<std::uint8_t> ask = Greeting();
                    ask.push_back(o_.checksum ? kNak : std::uint8_t{'C'});
                    Send(ask);
                    ++r_.handshakes;
                }
            }
        }
        if (started_ && !silent() && now >= w.lastActivity + o_.blockTimeoutMs) {
            BlockError("no block within " + std::to_string(o_.blockTimeoutMs) + " ms");
            w.lastActivity = SteadyNowMs();
        }
    }

    // An STX: a 1K block, or before the first block a command packet. False when the session
    // ended while its header was read.
    bool StxReceived() {
        const int h1 = NextWithin(o_.byteTimeoutMs);
        if (h1 == kEnd) return false;
        const int h2 = h1 < 0 ? h1 : NextWithin(o_.byteTimeoutMs);
        if (h2 == kEnd) return false;
        if (h1 < 0 || h2 < 0) {
            if (started_) BlockError("header cut short");
            return true;
        }
        // A block's number and complement add up to 0xFF; before the first block only block 1 is
        // taken for one, so a command packet is never mistaken for it.
        const bool block = h1 + h2 == 0xFF && (started_ || h1 == static_cast<int>(seq_ & 0xFF));
        if (block || started_) {
            ReceiveBlock(kStx, h1, h2);
        } else {
            ReceivePacket(static_cast<std::uint8_t>(h1), static_cast<std::uint8_t>(h2));
        }
        return true;
    }

    void Loop() {
        TWaits w;
        w.nextHandshake = w.lastActivity = SteadyNowMs();
        w.garbageLeft = o_.garbageHandshakes;
        if (!o_.sendPackets.empty() && !o_.packetsAfterDdd) w.packetDue = SteadyNowMs() + o_.packetDelayMs;
        int dCount = 0;
        bool lastWasCan = false;

        while (!ended_) {
            std::int64_t deadline = kNever;
            if (!started_ && !o_.usb) deadline = w.nextHandshake;
            if (started_ && !silent()) deadline = w.lastActivity + o_.blockTimeoutMs;
            const int c = Next(std::min(deadline, w.packetDue));
            if (c == kEnd) return;
            const std::int64_t now = SteadyNowMs();
            if (c == kTimeout) {
                TimedOut(w, now);
                continue;
            }
            w.lastActivity = now;
            if (silent()) continue;

            const std::uint8_t b = static_cast<std::uint8_t>(c);
            const bool wasCan = lastWasCan;
            lastWasCan = false;
            if (!started_ && o_.echo) Send(b);
            if (!started_) {
                dCount = (b == 'D') ? dCount + 1 : 0;
                if (dCount == 3) {
                    dCount = 0;
                    Send(kAck);
                    ++r_.dddAnswered;
                    if (o_.packetsAfterDdd && !o_.sendPackets.empty() && !sentPackets_) SendOwnPackets();
                    continue;
                }
            }
            switch (b) {
                case kSoh: ReceiveBlock(kSoh, -1, -1); break;
                case kStx:
                    if (!StxReceived()) return;
                    break;
                case kEot:
                    if (started_ || r_.handshakes > 0) ReceiveEot();
                    break;
                case kCan:
                    if (wasCan) {
                        End(Outcome::SenderCancelled, "the sender cancelled");
                    } else {
                        lastWasCan = true;
                    }
                    break;
                default:
                    if (sentPackets_ && b == kAck) ++r_.answerAcks;
                    if (sentPackets_ && b == kNak) ++r_.answerNaks;
                    if (started_) BlockError("unexpected byte at a block start");
                    break;
            }
        }
    }

    bool silent() const { return o_.neverAnswer || silentByFault_; }

    std::vector<std::uint8_t> Greeting() const {
        return std::vector<std::uint8_t>(o_.greeting.begin(), o_.greeting.end());
    }

    // An EOT alone on the line ends the file; one followed at once by more bytes was damage.
    void ReceiveEot() {
        const int c = NextWithin(std::min(o_.purgeQuietMs, 100));
        if (c == kEnd) return;
        if (c >= 0) {
            BlockError("EOT followed by data");
            return;
        }
        if (o_.silentAtEot) {
            silentByFault_ = true;
            return;
        }
        if (o_.nakEots > eotNaks_) {
            ++eotNaks_;
            ++r_.retries;
            Send(kNak);
            return;
        }
        Send(kAck);
        End(Outcome::Received);
    }

    void ReceiveBlock(std::uint8_t start, int h1, int h2) {
        started_ = true;
        const std::size_t size = start == kSoh ? 128 : 1024;
        if (h1 < 0) {
            h1 = NextWithin(o_.byteTimeoutMs);
            if (h1 == kEnd) return;
            h2 = h1 < 0 ? h1 : NextWithin(o_.byteTimeoutMs);
            if (h2 == kEnd) return;
            if (h1 < 0 || h2 < 0) return BlockError("header cut short");
        }
        const std::size_t checkSize = o_.checksum ? 1 : 2;
        std::vector<std::uint8_t> body(size + checkSize);
        for (auto& x : body) {
            const int c = NextWithin(o_.byteTimeoutMs);
            if (c == kEnd) return;
            if (c < 0) return BlockError("block cut short");
            x = static_cast<std::uint8_t>(c);
        }
        if (h1 + h2 != 0xFF) return BlockError("bad complement");
        if (o_.checksum) {
            std::uint8_t sum = 0;
            for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + body[i]);
            if (sum != body[size]) return BlockError("bad checksum");
        } else {
            const std::uint16_t crc = Crc16Xmodem(body.data(), size);
            if (crc != ((body[size] << 8) | body[size + 1])) return BlockError("bad CRC");
        }

        if (h1 == static_cast<int>(seq_ & 0xFF)) {
            if (o_.cancelAtBlock == seq_) {
                Send(std::vector<std::uint8_t>(static_cast<std::size_t>(std::max(o_.cancelCount, 1)), kCan));
                End(Outcome::FaultEnded, "cancelled at block " + std::to_string(seq_));
                return;
            }
            if (auto it = nakBlocks_.find(seq_); it != nakBlocks_.end() && it->second > 0) {
                --it->second;
                ++r_.retries;
                Send(kNak);
                return;
            }
            if (auto it = garbageBlocks_.find(seq_); it != garbageBlocks_.end() && it->second > 0) {
                --it->second;
                Send(o_.garbageByte);
                return;
            }
            r_.data.insert(r_.data.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
            ++r_.blocks;
            (size == 128 ? r_.blocks128 : r_.blocks1024) += 1;
            errors_ = 0;
            Send(kAck);
            if (o_.stopAfterBlock == seq_) silentByFault_ = true;
            ++seq_;
        } else if (seq_ > 1 && h1 == static_cast<int>((seq_ - 1) & 0xFF)) {
            ++r_.repeats;
            Send(kAck);
        } else {
            Send(std::vector<std::uint8_t>{kCan, kCan, kCan});
            End(Outcome::Failed, "block number " + std::to_string(h1) + " out of sequence, expected " +
                                     std::to_string(seq_ & 0xFF));
        }
    }

    void ReceivePacket(std::uint8_t command, std::uint8_t lengthHigh) {
        std::vector<std::uint8_t> frame{kStx, command, lengthHigh};
        const int lo = NextWithin(o_.byteTimeoutMs);
        if (lo == kEnd) return;
        if (lo < 0) return BadPacket();
        frame.push_back(static_cast<std::uint8_t>(lo));
        auto bcd = [](std::uint8_t x) { return (x >> 4) * 10 + (x & 0x0F); };
        const int length = bcd(lengthHigh) * 100 + bcd(static_cast<std::uint8_t>(lo));
        for (int i = 0; i < length + 1; ++i) {
            const int c = NextWithin(o_.byteTimeoutMs);
            if (c == kEnd) return;
            if (c < 0) return BadPacket();
            frame.push_back(static_cast<std::uint8_t>(c));
        }
        std::uint8_t lrc = 0;
        for (std::size_t i = 0; i + 1 < frame.size(); ++i) lrc ^= frame[i];
        if (lrc != frame.back()) return BadPacket();
        r_.packets.push_back(frame);
        const bool usbCommand = o_.usb && command == 0xD1 && length == 1 && frame[4] == 'E';
        if (usbCommand && o_.usbRefuse) {
            Send(kNak);
            TearDownVolume();
            End(Outcome::FaultEnded, "refused the firmware (--usb-refuse)");
            return;
        }
        Send(kAck);
        if (o_.onPacketAcked) o_.onPacketAcked(command);
        if (usbCommand) CompleteUsb();
    }

    void BadPacket() {
        ++r_.badPackets;
        Purge();
        if (!ended_) Send(kNak);
    }

    void Finish() {
        if (o_.trimSize >= 0 && r_.data.size() > static_cast<std::size_t>(o_.trimSize)) {
            r_.data.resize(static_cast<std::size_t>(o_.trimSize));
        }
        if (o_.stripSub) {
            while (!r_.data.empty() && r_.data.back() == kSub) r_.data.pop_back();
        }
        WriteOutput();
    }

    void WriteOutput() {
        if (o_.outputPath.empty()) return;
        std::ofstream out(o_.outputPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(r_.data.data()), static_cast<std::streamsize>(r_.data.size()));
        out.close();
        if (!out) {
            r_.outcome = Outcome::Failed;
            r_.message = "cannot write " + o_.outputPath;
        }
    }

    // --- USB mode -------------------------------------------------------------------------------

    bool SetUpVolume() {
        if (access("/dev/fuse", R_OK | W_OK) != 0 || !ProgramExists("fusefat") || !ProgramExists("mkfs.vfat")) {
            Fail("USB mode needs FUSE (/dev/fuse), fusefat and mkfs.vfat");
            return false;
        }
        char dirTemplate[] = "/tmp/termsim-XXXXXX";
        if (!mkdtemp(dirTemplate)) {
            Fail(std::string("mkdtemp: ") + std::strerror(errno));
            return false;
        }
        tempDir_ = dirTemplate;
        image_ = o_.image.empty() ? tempDir_ + "/volume.img" : fs::absolute(o_.image).string();
        if (o_.image.empty() || !fs::exists(image_)) {
            {
                std::ofstream create(image_, std::ios::binary | std::ios::trunc);
            }
            const int mib = o_.imageMiB > 0 ? o_.imageMiB : o_.fatBits == 12 ? 4 : o_.fatBits == 16 ? 16 : 64;
            if (truncate(image_.c_str(), static_cast<off_t>(mib) << 20) != 0 ||
                RunProgram({"mkfs.vfat", "-F", std::to_string(o_.fatBits), "-n", "TERMINAL", image_}) != 0) {
                Fail("cannot make a FAT" + std::to_string(o_.fatBits) + " image at " + image_);
                return false;
            }
        }
        // The Down folder has to be there when the volume appears, so it is made in a mount of
        // its own first and the volume is then mounted where the tool sees it. That first mount
        // lives in a mount namespace of its own where unshare(1) can make one: a tool that
        // watches the mount table would take its coming and going for a terminal's volume.
        const std::string prep = tempDir_ + "/prepare";
        fs::create_directories(prep);
        std::error_code ec;
        if (!MakeDownFolderUnseen(prep)) {
            pid_t prepPid = Mount(prep, false);
            if (prepPid <= 0) {
                Fail("cannot mount " + image_ + " with fusefat");
                return false;
            }
            fs::create_directories(prep + "/Down", ec);
            Unmount(prep, prepPid);
        }
        if (ec) {
            Fail("cannot make the Down folder: " + ec.message());
            return false;
        }
        mountPoint_ = o_.mountPoint.empty() ? tempDir_ + "/volume" : fs::absolute(o_.mountPoint).string();
        fs::create_directories(mountPoint_, ec);
        mountPid_ = Mount(mountPoint_, true);
        if (mountPid_ <= 0) {
            Fail("cannot mount " + image_ + " at " + mountPoint_);
            return false;
        }
        if (!o_.usbDevice.empty() && !PlaceVolumeOnUsbDevice()) return false;
        std::lock_guard lock(owner_.mutex_);
        owner_.mountPoint_ = mountPoint_;
        return true;
    }

    // The volume's block device entry in the simulated sysfs, below the terminal's USB device.
    bool PlaceVolumeOnUsbDevice() {
        struct stat info {};
        std::error_code ec;
        const fs::path block = fs::path(o_.usbDevice) / (fs::path(o_.usbDevice).filename().string() + ":1.1") /
                               "host0/target0:0:0/0:0:0:0/block/sdz";
        fs::create_directories(block, ec);
        fs::create_directories(fs::path(o_.sysfsRoot) / "dev/block", ec);
        if (::stat(mountPoint_.c_str(), &info) != 0 || ec) {
            Fail("cannot place the volume on the simulated USB device " + o_.usbDevice);
            return false;
        }
        blockLink_ = (fs::path(o_.sysfsRoot) / "dev/block" /
                      (std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev))))
                         .string();
        fs::remove(blockLink_, ec);
        fs::create_directory_symlink(block, blockLink_, ec);
        if (ec) {
            Fail("cannot make " + blockLink_ + ": " + ec.message());
            return false;
        }
        return true;
    }

    // Mounts the image at `prep` in a private mount namespace, makes the Down folder and unmounts
    // it again, waiting for fusefat's last writes; false when that could not be done.
    bool MakeDownFolderUnseen(const std::string& prep) {
        if (!ProgramExists("unshare")) return false;
        static const char* const kScript =
            "fusefat -f -o rw+ \"$1\" \"$2\" & pid=$!\n"
            "i=0\n"
            "until grep -q \" $2 \" /proc/self/mountinfo; do\n"
            "  i=$((i+1)); if [ $i -gt 200 ]; then kill $pid; wait $pid; exit 1; fi; sleep 0.05\n"
            "done\n"
            "mkdir -p \"$2/Down\"; rc=$?\n"
            "fusermount -u \"$2\" || umount \"$2\" || rc=1\n"
            "wait $pid\n"
            "exit $rc\n";
        return RunProgram({"unshare", "-m", "--propagation", "private", "sh", "-c", kScript, "sh",
                           image_, prep}) == 0;
    }

    // Starts fusefat in the foreground as a child, so that its end (and its last writes to the
    // image) can be waited for; returns its pid once the mount is listed, else -1.
    pid_t Mount(const std::string& point, bool named) {
        std::string opts = "rw+";
        if (named) opts += ",fsname=" + image_;
        pid_t pid = fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            execlp("fusefat", "fusefat", "-f", "-o", opts.c_str(), image_.c_str(), point.c_str(), nullptr);
            _exit(127);
        }
        if (!WaitMountState(point, true, 10000, pid)) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        return pid;
    }

    void Unmount(const std::string& point, pid_t pid) {
        if (RunProgram({"fusermount", "-u", point}) != 0 && RunProgram({"umount", point}) != 0) {
            RunProgram({"umount", "-l", point});  // something still holds it: detach it anyway
        }
        WaitMountState(point, false, 10000, -1);
        // The daemon writes its last sectors before it exits.
        int status = 0;
        const std::int64_t end = SteadyNowMs() + 10000;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (SteadyNowMs() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
            if (pidFd >= 0) {
                pollfd p{pidFd, POLLIN, 0};
                poll(&p, 1, 1000);
                close(pidFd);
            } else {
                usleep(20000);
            }
        }
    }

    void CompleteUsb() {
        std::string found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(mountPoint_ + "/Down", ec)) {
            if (entry.is_regular_file(ec)) {
                found = entry.path().filename().string();
                break;
            }
        }
        if (found.empty()) {
            TearDownVolume();
            End(Outcome::Failed, "the Down folder holds no file when 0xD1 \"E\" came");
            return;
        }
        r_.usbFileName = found;
        {
            std::ifstream in(mountPoint_ + "/Down/" + found, std::ios::binary);
            r_.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }  // closed before the unmount, which a busy file would refuse
        TearDownVolume();
        End(Outcome::UsbDelivered);
        Finish();
    }

    void TearDownVolume() {
        if (mountPid_ > 0) {
            Unmount(mountPoint_, mountPid_);
            mountPid_ = -1;
            if (o_.mountPoint.empty()) rmdir(mountPoint_.c_str());
        }
        if (!blockLink_.empty()) {
            ::unlink(blockLink_.c_str());
            blockLink_.clear();
        }
        if (!tempDir_.empty()) {
            std::error_code ec;
            fs::remove_all(tempDir_, ec);
            tempDir_.clear();
        }
    }

    const TerminalSimOptions& o_;
    std::string blockLink_;  // the volume's entry in the simulated sysfs, while mounted
    int stopFd_;
    TerminalSim& owner_;
    int fd_ = -1;
    std::uint8_t buf_[4096];
    std::size_t pos_ = 0, len_ = 0;
    std::int64_t sessionEnd_ = kNever;
    bool ended_ = false;
    TerminalSimResult r_;
    bool started_ = false;  // the first block has come
    bool silentByFault_ = false;
    bool sentPackets_ = false;
    std::uint64_t seq_ = 1;  // sequence number of the next new block
    int errors_ = 0;
    int eotNaks_ = 0;
    std::map<std::uint64_t, int> nakBlocks_ = o_.nakBlocks;
    std::map<std::uint64_t, int> garbageBlocks_ = o_.garbageBlocks;
    std::string tempDir_, image_, mountPoint_;
    pid_t mountPid_ = -1;
};

TerminalSim::TerminalSim(TerminalSimOptions options) : options_(std::move(options)) {
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    doneFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd_ < 0 || doneFd_ < 0) throw std::runtime_error("terminal simulator: eventfd failed");
}

TerminalSim::~TerminalSim() {
    Stop();
    if (thread_.joinable()) thread_.join();
    if (stopFd_ >= 0) close(stopFd_);
    if (doneFd_ >= 0) close(doneFd_);
}

TerminalSimResult TerminalSim::Run() {
    TerminalSimResult result;
    {
        Session session(*this);
        result = session.Run();
    }
    {
        std::lock_guard lock(mutex_);
        result_ = result;
    }
    cv_.notify_all();
    std::uint64_t one = 1;
    (void)!write(doneFd_, &one, sizeof one);
    return result;
}

void TerminalSim::Start() {
    if (thread_.joinable()) return;
    thread_ = std::jthread([this] { Run(); });
}

std::optional<TerminalSimResult> TerminalSim::Wait(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, deadline, [this] { return result_.has_value(); })) return std::nullopt;
    return result_;
}

void TerminalSim::Stop() {
    std::uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
}

bool TerminalSim::WaitReady(std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, deadline, [this] { return ready_.load() || result_.has_value(); });
    return ready_.load();
}

std::string TerminalSim::MountPoint() const {
    std::lock_guard lock(mutex_);
    return mountPoint_;
}

}  // namespace kavo::sim
