// The UUtil routines that ask Linux: the version query and the system's serial ports.
#include "app/uutil.h"

#include <sys/utsname.h>

#include <cstdio>

#include "serial/port_map.h"

namespace kavo {

int GetOSVersionCode() {
    struct utsname names {};
    if (::uname(&names) != 0) return OSVersionCodeFor(false, 0, 0, 0);
    int major = 0, minor = 0;
    std::sscanf(names.release, "%d.%d", &major, &minor);
    return OSVersionCodeFor(true, kPlatformLinux, major, minor);
}

// The port map stands for the registry: each port's device path with its COMn name.
PortRegistry SystemPortRegistry() {
    std::vector<PortRegistryValue> values;
    for (const PortEntry& e : ListComPorts()) {
        values.emplace_back(e.path, "COM" + std::to_string(e.number));
    }
    return values;
}

}  // namespace kavo
