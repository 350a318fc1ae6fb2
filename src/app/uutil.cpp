#include "app/uutil.h"

#include "platform/profile.h"
#include "platform/settings_folder.h"
#include "serial/port_map.h"

#include <cctype>
#include <climits>
#include <mutex>
#include <cstdio>

#include "platform/file_io.h"

namespace kavo {

// ---- Settings files -------------------------------------------------------------------------

std::string IniFilePath(const std::string& fileName) {
    if (fileName == "setup.ini") return SettingsFolder() + fileName;
    return fileName;
}

std::string ReadIni(const std::string& section, const std::string& key,
                    const std::string& fileName) {
    return ReadProfileString(section, key, IniFilePath(fileName)).value_or(std::string());
}

bool WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& fileName) {
    ProfileWriteResult result = WriteProfileString(section, key, value, IniFilePath(fileName));
    // The settings go out one key at a time (PORT, then FNAME), and a folder that cannot be
    // written fails each of them for the same reason: that reason is said once, until a write
    // succeeds again.
    static std::mutex reportedMutex;
    static std::string reported;
    std::lock_guard<std::mutex> lock(reportedMutex);
    if (result) {
        reported.clear();
    } else if (result.error != reported) {
        std::fprintf(stderr, "kavodown: %s\n", result.error.c_str());
        reported = result.error;
    }
    return result.ok;
}

// ---- Operating system and port list ---------------------------------------------------------

int OSVersionCodeFor(bool queryOk, int platformId, int major, int minor) {
    if (!queryOk) return -1;
    switch (platformId) {
    case kPlatformWin32s:
        return 1;
    case kPlatformWindows:
        if (major == 5) return 7;
        return minor == 0 ? 2 : (minor > 0 ? 3 : 0);
    case kPlatformNT:
        if (major == 3) return 4;
        if (major == 4) return 5;
        if (major == 5 && minor == 0) return 6;
        if (major == 5 && minor == 1) return 8;
        if (major == 6) return 9;
        return 0;
    case kPlatformLinux:
        return kOsCodeLinux;
    default:
        return 0;
    }
}

namespace {

// The data buffers of the port list hold 51 bytes, the terminating zero included.
constexpr std::size_t kPortBufferSize = 51;

std::string UpTo(const std::string& s, char stop) {
    std::size_t p = s.find(stop);
    return p == std::string::npos ? s : s.substr(0, p);
}

std::string TrimControls(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

}  // namespace

std::vector<std::string> ComPortsByProbe(const PortRegistry& registry) {
    std::vector<std::string> list;
    if (!registry) return list;
    for (int n = 1; n <= 256; ++n) {
        const std::string name = "COM" + std::to_string(n);
        for (const auto& [valueName, data] : *registry) {
            // Value names are found without regard to case; the data must fit the buffer.
            if (valueName.size() != name.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < name.size() && same; ++i) {
                same = std::toupper(static_cast<unsigned char>(valueName[i])) == name[i];
            }
            if (same && data.size() + 1 <= kPortBufferSize) {
                list.push_back(name);
                break;
            }
        }
    }
    return list;
}

std::vector<std::string> ComPortsByEnumeration(const PortRegistry& registry) {
    std::vector<std::string> list;
    if (!registry) return list;
    for (const auto& [valueName, data] : *registry) {
        // The value name is the device's path, as long as it is (/dev/serial/by-id/... names
        // pass the buffer): it is not read into the buffer, so it never drops a port. A port
        // name that does not fit is left out on its own; the ports after it stay.
        if (data.size() + 1 > kPortBufferSize) continue;
        list.push_back(TrimControls(UpTo(data, '\0')));
    }
    return list;
}

void GetComPortList(int code, std::vector<std::string>& list) {
    switch (code) {
    case 2: case 3: case 7:
        list = ComPortsByProbe(SystemPortRegistry());
        break;
    case 5: case 6: case 8: case 9: case kOsCodeLinux:
        list = ComPortsByEnumeration(SystemPortRegistry());
        break;
    default:
        break;
    }
}

// ---- Files ----------------------------------------------------------------------------------

// Only a regular file can be sent: the transfer engine refuses anything else, and opening a FIFO
// for its size would wait for a writer without end.
bool FileExists(const std::string& path) {
    TFileFacts facts;
    return !path.empty() && ReadFileFacts(path, facts) == 0 && facts.regular;
}

std::int32_t GetFileSize(const std::string& path) {
    if (!FileExists(path)) return -1;
    // The open does not wait, so that a FIFO put in the file's place after the check cannot
    // hold it.
    const TFileReader file(path);
    TFileFacts facts;
    if (file.Error() != 0 || file.Facts(facts) != 0) return -1;
    if (facts.size > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(facts.size);
}

}  // namespace kavo

namespace kavo {

int StrToInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    bool any = false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') { any = false; break; }
        value = value * 10 + (text[i] - '0');
        any = true;
        if (value > 2147483648LL) break;
    }
    if (negative) value = -value;
    if (!any || i != text.size() || value > INT32_MAX || value < INT32_MIN) {
        throw EConvertError("'" + text + "' is not a valid integer value");
    }
    return static_cast<int>(value);
}

int StrToIntDef(const std::string& text, int fallback) {
    try {
        return StrToInt(text);
    } catch (const EConvertError&) {
        return fallback;
    }
}

}  // namespace kavo
