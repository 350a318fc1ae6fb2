#include "serial/win32_serial_comm.h"

#include <windows.h>

#include "platform/win32_text.h"

namespace kavo {

std::optional<std::vector<std::pair<std::string, std::string>>> ReadSerialCommMap() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[512];
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG rc = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (rc == ERROR_MORE_DATA) continue;  // a value too long for any port name
        if (rc != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        data[dataSize] = 0;
        data[dataSize + 1] = 0;
        values.emplace_back(Utf8FromWide(std::wstring(name, nameLength)),
                            Utf8FromWide(reinterpret_cast<const wchar_t*>(data)));
    }
    ::RegCloseKey(key);
    return values;
}

}  // namespace kavo
