// The exit codes of kavodown.
//
// Without --batch the program ends with kExitOk, kExitVolumeRemoved, kExitTransferFailed or
// kExitUsage only. A run with --batch tells every way the send sequence can stop apart, so that a
// production-line script can act on the code alone; the one line on the standard error says the
// rest. Keep this list, the --help text and the README's table in step.
#pragma once

namespace kavo {

constexpr int kExitOk = 0;                // the transfer succeeded, or the exit button
constexpr int kExitVolumeRemoved = 1;     // USB storage mode: a volume was removed
constexpr int kExitTransferFailed = 2;    // the transfer failed (protocol code and text printed)
constexpr int kExitFileMissing = 3;       // no firmware file at the given path
constexpr int kExitPortMissing = 4;       // no port number, or no device behind it
constexpr int kExitPortBusy = 5;          // another program holds the port's device
constexpr int kExitPermissionDenied = 6;  // no permission to open the port's device
constexpr int kExitNoAnswer = 7;          // the terminal did not acknowledge "DDD"
constexpr int kExitDeviceLost = 8;        // the port's device went away during the transfer
constexpr int kExitOtherError = 9;        // any other failure (the text is printed)
constexpr int kExitNoVolume = 10;         // USB storage mode: no terminal volume within the limit
constexpr int kExitUsage = 64;            // a bad command line

}  // namespace kavo
