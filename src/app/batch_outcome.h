// What ends a --batch run: the exit code and the one line for the standard error, for each way the
// send sequence can stop and for the end of the transfer.
//
// Errors are told apart by their exception class and code, never by their text: the serial layer
// raises EBadId for a port number without a device, ENoPortSelected when there is no number at
// all, EAlreadyOpen when another program holds the device, and EInOutError with the system's
// EACCES number when the device may not be opened. Its texts already name the device and what to
// do; the lines here add the port number, the known ports and the programs that hold a device.
//
// Thread safety: plain functions; they read the port map and /proc on each call.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "serial/port_map.h"

namespace kavo {

struct TBatchStop {
    int exitCode = 0;
    std::string line;  // "kavodown: ...", without a newline; empty for a success
};

// No firmware file at `path` (nothing given, nothing there, or no regular file: a folder, FIFO,
// device or socket).
TBatchStop FileMissingStop(const std::string& path);

// Opening port `comNumber` failed with `error`.
TBatchStop PortOpenStop(std::exception_ptr error, int comNumber);

// The terminal on port `comNumber` did not acknowledge "DDD".
TBatchStop NoAnswerStop(int comNumber);

// The transfer over port `comNumber` ended with `errorCode` (0 for success). The transfer engine
// ends with ecAbortNoCarrier when the port's device goes away (an adapter pulled out, a cable
// cut that hangs the line up): that is the device-lost stop; every other code is a failed
// transfer.
TBatchStop TransferEndStop(int errorCode, int comNumber);

// The open port stopped working: one of its worker threads ended by an error, described by
// `failure` (the port, the worker and the error). Such an error reaches the error display too, and
// this is the line it ends a run with there, whichever of the two comes first.
TBatchStop PortFailureStop(const std::string& failure);

// "COM3 (/dev/ttyUSB0)", or "COM3" when the number has no device.
std::string PortName(int comNumber);

// "COM3 /dev/ttyUSB0, COM5 /tmp/line/A", or "none" for an empty list.
std::string KnownPortsText(const std::vector<PortEntry>& ports);

}  // namespace kavo
