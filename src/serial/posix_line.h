// Line settings of a POSIX serial device, at any baud rate.
//
// These routines use the kernel's termios2 interface with BOTHER, which sets an exact rate
// (250000, 921600, ...) instead of one of the fixed Bxxx codes. Its header clashes with the C
// library's <termios.h>, so this code lives apart and nothing else includes the kernel header.
//
// Thread safety: none of its own; callers serialise access to the descriptor.
#pragma once

#include <array>
#include <cstdint>

#include "serial/dispatcher.h"

namespace kavo::posix_line {

// An opaque copy of the device's settings, to put back at close.
struct SavedLine {
    std::array<unsigned char, 128> raw{};
    bool valid = false;
};

// 0 or -errno. ENOTTY/EINVAL mean the descriptor is not a terminal.
int SaveLine(int fd, SavedLine& saved);
void RestoreLine(int fd, const SavedLine& saved);

// Raw 8-bit mode: no input or output processing, no echo, reads return at once.
int MakeRaw(int fd);

// Reads the fields of the block that the device holds (baud, parity, data and stop bits,
// CTS/RTS and XON/XOFF flow, the XON/XOFF characters); the other fields are left as they are.
int ReadBlock(int fd, TDeviceBlock& block);
// Applies those fields. 0 or -errno.
int WriteBlock(int fd, const TDeviceBlock& block);

// Discards the receive (input) or transmit side of the device's queue. 0 or -errno.
int Purge(int fd, bool input);

}  // namespace kavo::posix_line
