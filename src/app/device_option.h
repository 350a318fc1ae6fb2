// --device PATH: the run names the port's device directly instead of a port number.
//
// The window and the serial port speak in port numbers, so the device gets one: the number the
// port map already gives that path, else the highest number the map leaves free. The pair is added
// to KAVODOWN_PORTS for this process, and the number becomes the first positional
// argument, so every later step (the port's open, the messages) sees an ordinary port number.
// On Windows the device is a port name, COM12 or \\.\COM12, which is its number already.
//
// Thread safety: changes the process's environment; call it once at start-up, before threads.
#pragma once

#include "app/command_line.h"
#include "serial/port_map.h"

#include <string>
#include <vector>

namespace kavo {

// The port number for `path` among `ports`: the entry with that path, else the highest number
// from kMaxComNumber down that no entry has; 0 when every number is taken.
int DevicePortNumber(const std::string& path, const std::vector<PortEntry>& ports);

// Applies --device to `commandLine` (nothing without it). Returns an empty text, or one line
// saying why the path cannot be used.
std::string ApplyDeviceOption(TCommandLine& commandLine);

}  // namespace kavo
