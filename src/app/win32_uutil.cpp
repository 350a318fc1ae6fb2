// The UUtil routines that ask Windows: the version query and the registry's serial ports.
#include "app/uutil.h"

#include <windows.h>

#include "serial/win32_serial_comm.h"

namespace kavo {

int GetOSVersionCode() {
    OSVERSIONINFOW info {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool ok = ::GetVersionExW(&info) != FALSE;
#pragma GCC diagnostic pop
    return OSVersionCodeFor(ok, static_cast<int>(info.dwPlatformId),
                            static_cast<int>(info.dwMajorVersion), static_cast<int>(info.dwMinorVersion));
}

PortRegistry SystemPortRegistry() { return ReadSerialCommMap(); }

}  // namespace kavo
