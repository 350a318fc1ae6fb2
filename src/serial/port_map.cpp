#include "serial/port_map.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

namespace kavo {

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

std::vector<PortEntry> ListComPorts() {
    const char* variable = std::getenv("KAVODOWN_PORTS");
    return variable ? ParsePortsVariable(variable) : std::vector<PortEntry>{};
}

std::string ComPortPath(int number) {
    for (const PortEntry& e : ListComPorts()) {
        if (e.number == number) return e.path;
    }
    return {};
}

}  // namespace kavo
