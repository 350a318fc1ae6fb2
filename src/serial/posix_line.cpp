#include "serial/posix_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace kavo::posix_line {

static_assert(sizeof(termios2) <= sizeof(SavedLine::raw));

namespace {

int Get(int fd, termios2& t) { return ioctl(fd, TCGETS2, &t) == 0 ? 0 : -errno; }
int Set(int fd, const termios2& t) { return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -errno; }

}  // namespace

int SaveLine(int fd, SavedLine& saved) {
    termios2 t{};
    int result = Get(fd, t);
    saved.valid = result == 0;
    if (saved.valid) std::memcpy(saved.raw.data(), &t, sizeof t);
    return result;
}

void RestoreLine(int fd, const SavedLine& saved) {
    if (!saved.valid) return;
    termios2 t;
    std::memcpy(&t, saved.raw.data(), sizeof t);
    Set(fd, t);
}

int MakeRaw(int fd) {
    termios2 t{};
    int result = Get(fd, t);
    if (result < 0) return result;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    // VMIN 1: a non-blocking read of an empty line reports EAGAIN, and 0 only at a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return Set(fd, t);
}

int ReadBlock(int fd, TDeviceBlock& block) {
    termios2 t{};
    int result = Get(fd, t);
    if (result < 0) return result;
    if ((t.c_cflag & CBAUD) == BOTHER) {
        block.baud = t.c_ospeed;
    } else {
        static const struct {
            unsigned code;
            std::uint32_t rate;
        } kRates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                      {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                      {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                      {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
        for (const auto& rate : kRates) {
            if ((t.c_cflag & CBAUD) == rate.code) block.baud = rate.rate;
        }
    }
    if (!(t.c_cflag & PARENB)) {
        block.parity = kParityNone;
    } else if (t.c_cflag & CMSPAR) {
        block.parity = (t.c_cflag & PARODD) ? kParityMark : kParitySpace;
    } else {
        block.parity = (t.c_cflag & PARODD) ? kParityOdd : kParityEven;
    }
    switch (t.c_cflag & CSIZE) {
    case CS5: block.dataBits = 5; break;
    case CS6: block.dataBits = 6; break;
    case CS7: block.dataBits = 7; break;
    default: block.dataBits = 8; break;
    }
    if (!(t.c_cflag & CSTOPB)) {
        block.stopBits = kOneStopBit;
    } else {
        block.stopBits = block.dataBits == 5 ? kOne5StopBits : kTwoStopBits;
    }
    block.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    block.outX = (t.c_iflag & IXON) != 0;
    block.inX = (t.c_iflag & IXOFF) != 0;
    block.xonChar = t.c_cc[VSTART];
    block.xoffChar = t.c_cc[VSTOP];
    return 0;
}

int WriteBlock(int fd, const TDeviceBlock& block) {
    termios2 t{};
    int result = Get(fd, t);
    if (result < 0) return result;
    if (block.baud == 0) return -EINVAL;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);  // input speed follows the output speed
    t.c_ispeed = t.c_ospeed = block.baud;
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (block.parity) {
    case kParityOdd: t.c_cflag |= PARENB | PARODD; break;
    case kParityEven: t.c_cflag |= PARENB; break;
    case kParityMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case kParitySpace: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    t.c_cflag &= ~CSIZE;
    switch (block.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    if (block.stopBits == kOneStopBit) {
        t.c_cflag &= ~CSTOPB;
    } else {
        t.c_cflag |= CSTOPB;
    }
    // The driver can only pair RTS flow with CTS flow.
    if (block.outxCtsFlow || block.rtsControl == kLineControlHandshake) {
        t.c_cflag |= CRTSCTS;
    } else {
        t.c_cflag &= ~CRTSCTS;
    }
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (block.outX) t.c_iflag |= IXON;
    if (block.inX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = block.xonChar;
    t.c_cc[VSTOP] = block.xoffChar;
    return Set(fd, t);
}

int Purge(int fd, bool input) {
    return ioctl(fd, TCFLSH, input ? TCIFLUSH : TCOFLUSH) == 0 ? 0 : -errno;
}

}  // namespace kavo::posix_line
