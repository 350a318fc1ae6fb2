// The exit codes of kavodown, of its single runs and of its station.
//
// Without --batch the program ends with kExitOk, kExitVolumeRemoved, kExitTransferFailed or
// kExitUsage only. A run with --batch tells every way the send sequence can stop apart, so that a
// production-line script can act on the code alone; the one line on the standard error says the
// rest. The station reads its children's codes from this list and ends with codes of its own
// below. Keep this list, the --help texts and the README's tables in step.
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

// A signal that cut a run short: 128 + its number (SIGTERM: 143, SIGINT: 130).
constexpr int kExitSignalBase = 128;
constexpr int ExitCodeOfSignal(int signalNumber) { return kExitSignalBase + signalNumber; }

// The station: some finished units failed or were stopped by the operator. It ends with kExitOk
// when every finished unit flashed, ExitCodeOfSignal(n) when a signal stopped running units and
// kExitOtherError when it could not start.
constexpr int kExitUnitsFailed = 2;

}  // namespace kavo
