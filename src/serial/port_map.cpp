#include "serial/port_map.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "platform/profile.h"

namespace kavo {

namespace fs = std::filesystem;

namespace {

bool ParseNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 3) return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= kMaxComNumber;
}

}  // namespace

std::vector<PortEntry> ParsePortsVariable(const std::string& text) {
    std::map<int, PortEntry> byNumber;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string pair = text.substr(pos, comma - pos);
        pos = comma + 1;
        std::size_t eq = pair.find('=');
        int number = 0;
        if (eq == std::string::npos || !ParseNumber(pair.substr(0, eq), number)) continue;
        std::string path = pair.substr(eq + 1);
        if (path.empty()) continue;
        byNumber[number] = PortEntry{number, path, "KAVODOWN_PORTS"};
    }
    std::vector<PortEntry> entries;
    for (auto& [n, e] : byNumber) entries.push_back(e);
    return entries;
}

int ComNumberFromDeviceName(const std::string& name) {
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0) rest = rest.substr(4);
    if (rest.size() < 4) return 0;
    std::string prefix = rest.substr(0, 3);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    int number = 0;
    if (prefix != "COM" || !ParseNumber(rest.substr(3), number)) return 0;
    return number;
}

std::vector<PortEntry> ReadPortsFile(const std::string& path) {
    std::map<int, PortEntry> byNumber;
    for (const auto& [key, value] : ReadProfileSection("PORTS", path)) {
        int number = ComNumberFromDeviceName(key);
        if (number == 0 || value.empty() || key.rfind("\\", 0) == 0) continue;
        if (!byNumber.count(number)) byNumber[number] = PortEntry{number, value, "ports.ini"};
    }
    std::vector<PortEntry> entries;
    for (auto& [n, e] : byNumber) entries.push_back(e);
    return entries;
}

std::vector<PortEntry> MergePortSources(const std::vector<PortEntry>& fromVariable,
                                        const std::vector<PortEntry>& fromFile,
                                        const std::vector<PortEntry>& fromDevices) {
    std::map<int, PortEntry> byNumber;
    std::set<std::string> explicitDevices;
    auto identity = [](const std::string& path) {
        std::error_code ec;
        fs::path real = fs::canonical(path, ec);
        return ec ? path : real.string();
    };
    for (const auto* source : {&fromVariable, &fromFile}) {
        for (const PortEntry& e : *source) {
            if (byNumber.count(e.number)) continue;
            byNumber[e.number] = e;
            explicitDevices.insert(identity(e.path));
        }
    }
    for (const PortEntry& e : fromDevices) {
        if (byNumber.count(e.number) || explicitDevices.count(identity(e.path))) continue;
        byNumber[e.number] = e;
    }
    std::vector<PortEntry> entries;
    for (auto& [n, e] : byNumber) entries.push_back(e);
    return entries;
}

}  // namespace kavo
