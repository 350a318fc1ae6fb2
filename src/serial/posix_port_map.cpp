#include "serial/port_map.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "platform/settings_folder.h"
#include "serial/device_locks.h"

// The port map's sources on POSIX: the tty devices of sysfs, and the holders of a device.
namespace kavo {

namespace fs = std::filesystem;

namespace {

// The number after `prefix` in `name` ("ttyUSB3" -> 3), or -1.
int IndexAfter(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) return -1;
    int value = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) || value > 100000) return -1;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

std::string ReadFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// "by-id name, vendor:product manufacturer product" as far as sysfs and /dev tell.
std::string Describe(const fs::path& ttyDir, const std::string& name, const fs::path& devFolder) {
    std::error_code ec;
    std::string byId;
    for (const auto& entry : fs::directory_iterator(devFolder / "serial" / "by-id", ec)) {
        std::error_code ec2;
        fs::path target = fs::read_symlink(entry.path(), ec2);
        if (!ec2 && target.filename() == name) {
            byId = entry.path().filename().string();
            break;
        }
    }
    std::string usb;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    for (int up = 0; !ec && up < 6 && !dir.empty() && dir != dir.root_path(); ++up) {
        if (fs::exists(dir / "idVendor", ec)) {
            usb = ReadFirstLine(dir / "idVendor") + ":" + ReadFirstLine(dir / "idProduct");
            for (const char* field : {"manufacturer", "product"}) {
                std::string text = ReadFirstLine(dir / field);
                if (!text.empty()) usb += " " + text;
            }
            break;
        }
        dir = dir.parent_path();
    }
    // USB adapters that hold received bytes for a while say for how long.
    const std::string latency = ReadFirstLine(ttyDir / "device" / "latency_timer");
    if (!latency.empty()) usb += (usb.empty() ? "" : ", ") + ("latency timer " + latency + " ms");
    if (!byId.empty() && !usb.empty()) return byId + ", " + usb;
    if (!byId.empty() || !usb.empty()) return byId.empty() ? usb : byId;
    fs::path driver = fs::read_symlink(ttyDir / "device" / "driver", ec);
    return ec ? std::string() : driver.filename().string();
}

}  // namespace

std::vector<PortEntry> DefaultSerialPorts(const std::string& ttyClassFolder,
                                          const std::string& devFolder) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ttyClassFolder, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());

    std::map<int, PortEntry> byNumber;
    std::vector<std::string> others;  // hardware ports without a block of their own, and overflow
    for (const std::string& name : names) {
        const fs::path dir = fs::path(ttyClassFolder) / name;
        std::error_code ec2;
        if (!fs::exists(dir / "device", ec2)) continue;  // consoles, pty masters and the like
        int number = 0;
        if (int k = IndexAfter(name, "ttyS"); k >= 0) {
            std::string type = ReadFirstLine(dir / "type");
            if (type.empty() || type == "0") continue;  // no UART behind it
            number = k < 10 ? k + 1 : 0;
        } else if (int u = IndexAfter(name, "ttyUSB"); u >= 0) {
            number = u < 20 ? 11 + u : 0;
        } else if (int a = IndexAfter(name, "ttyACM"); a >= 0) {
            number = a < 20 ? 31 + a : 0;
        }
        if (number == 0) {
            others.push_back(name);
            continue;
        }
        byNumber[number] = PortEntry{number, (fs::path(devFolder) / name).string(),
                                     Describe(dir, name, devFolder)};
    }
    for (const std::string& name : others) {
        bool usbLike = IndexAfter(name, "ttyUSB") >= 0 || IndexAfter(name, "ttyACM") >= 0 ||
                       IndexAfter(name, "ttyS") >= 0;
        auto firstFree = [&byNumber](int from, int to) {
            for (int n = from; n <= to; ++n) {
                if (!byNumber.count(n)) return n;
            }
            return 0;
        };
        int number = usbLike ? 0 : firstFree(1, 10);
        if (number == 0) number = firstFree(51, kMaxComNumber);
        if (number == 0) continue;
        const fs::path dir = fs::path(ttyClassFolder) / name;
        byNumber[number] = PortEntry{number, (fs::path(devFolder) / name).string(),
                                     Describe(dir, name, devFolder)};
    }
    std::vector<PortEntry> entries;
    for (auto& [n, e] : byNumber) entries.push_back(e);
    return entries;
}

std::vector<PortEntry> ListComPorts() {
    const char* variable = std::getenv("KAVODOWN_PORTS");
    std::vector<PortEntry> entries =
        MergePortSources(variable ? ParsePortsVariable(variable) : std::vector<PortEntry>{},
                         ReadPortsFile(SettingsFolder() + "ports.ini"), DefaultSerialPorts());
    for (PortEntry& e : entries) {
        if (e.description != "KAVODOWN_PORTS" && e.description != "ports.ini") continue;
        const std::string device = DescribeDevice(e.path);
        if (!device.empty()) e.description += ", " + device;
    }
    return entries;
}

std::string DescribeDevice(const std::string& path, const std::string& ttyClassFolder,
                           const std::string& devFolder) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    if (ec || real.parent_path() != fs::path(devFolder)) return {};
    const std::string name = real.filename().string();
    const fs::path dir = fs::path(ttyClassFolder) / name;
    if (!fs::exists(dir / "device", ec)) return {};
    return Describe(dir, name, devFolder);
}

std::vector<std::string> DeviceHolders(const std::string& path, const std::string& procFolder) {
    std::vector<std::string> holders;
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0) return holders;
    const long self = static_cast<long>(::getpid());
    std::set<long> pids;

    // The port takes an exclusive flock on its device: the lock table names the holder exactly.
    // Its entries read "1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF" (hex
    // device numbers); waiting requests carry "->" and hold nothing.
    std::ifstream locks(fs::path(procFolder) / "locks");
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(device.st_dev), minor(device.st_dev),
                  static_cast<unsigned long>(device.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(fields >> id >> kind) || kind == "->") continue;
        if (!(fields >> mode >> access >> pid >> where)) continue;
        if (where == wanted && pid > 0 && pid != self) pids.insert(pid);
    }

    // A program that honours lock files names itself in the device's lock.
    if (pids.empty()) {
        if (pid_t holder = DeviceLockHolder(path); holder > 0) pids.insert(holder);
    }

    // Exclusive use or no lock at all: whoever has the device open, but the processes that
    // started this one (they handed the port on).
    if (pids.empty()) {
        std::set<long> ancestors;
        for (long pid = ::getppid(); pid > 1 && ancestors.insert(pid).second;) {
            std::ifstream stat(fs::path(procFolder) / std::to_string(pid) / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t close = line.rfind(')');
            if (close == std::string::npos) break;
            std::istringstream rest(line.substr(close + 1));
            std::string state;
            rest >> state >> pid;
        }
        std::error_code ec;
        const fs::path canonical = fs::canonical(path, ec);
        for (const auto& process : fs::directory_iterator(procFolder, ec)) {
            const std::string name = process.path().filename().string();
            if (name.empty() || !std::all_of(name.begin(), name.end(),
                                             [](unsigned char c) { return std::isdigit(c); })) {
                continue;
            }
            const long pid = std::atol(name.c_str());
            if (pid == self || ancestors.count(pid)) continue;
            std::error_code ec2;
            for (const auto& fd : fs::directory_iterator(process.path() / "fd", ec2)) {
                std::error_code ec3;
                if (fs::read_symlink(fd.path(), ec3) == canonical && !ec3) {
                    pids.insert(pid);
                    break;
                }
            }
        }
    }

    for (long pid : pids) {
        const std::string comm = ReadFirstLine(fs::path(procFolder) / std::to_string(pid) / "comm");
        holders.push_back(std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")"));
    }
    return holders;
}

std::string ComPortPath(int number) {
    for (const PortEntry& e : ListComPorts()) {
        if (e.number == number) return e.path;
    }
    return {};
}

}  // namespace kavo
