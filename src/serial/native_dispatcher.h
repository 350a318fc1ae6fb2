// The seam between the serial engine and the platform's own device layer: each device layer
// defines these functions for its platform (the build picks one), and everything above uses
// TApdBaseDispatcher only.
//
// Thread safety: the functions keep no state; any thread may call them.
#pragma once

#include <memory>
#include <string>

#include "serial/dispatcher.h"

namespace kavo {

// A dispatcher of the platform's native serial layer, owned by `owner` (may be null).
std::unique_ptr<TApdBaseDispatcher> MakeNativeDispatcher(TComponent* owner);

// What opening a device for a moment told: code 0 when it opened (it is closed again at once),
// else the open's error code (serial/error_codes.h) and a text that names the device.
struct TDeviceProbe {
    int code = 0;
    std::string text;
};

// Opens and closes the device named `name` ("\\.\COM<n>", or a device path where the platform has
// them) without starting any worker.
TDeviceProbe ProbeDevice(const std::string& name);

// True when port number `number` names a device, also when another program holds it (or, where
// the platform has device permissions, when this user may not open it). 0 and below give false.
bool PortAvailable(int number);

}  // namespace kavo
