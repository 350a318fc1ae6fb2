#include "serial/native_dispatcher.h"

#include <cstdio>

#include "serial/error_codes.h"

namespace kavo {

bool PortAvailable(int number) {
    if (number <= 0) return false;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    const int code = ProbeDevice(name).code;
    // A port that another program holds, or that this user may not open, exists all the same.
    return code == 0 || code == ecAccessDenied || code == ecDevicePermission;
}

}  // namespace kavo
