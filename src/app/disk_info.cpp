// The parts of TDiskInfo that every platform shares: the names and numbers a volume is described
// with, and the cleared state. Reading a volume is in posix_disk_info.cpp and win32_disk_info.cpp.
#include "app/disk_info.h"

#include <cctype>
#include <cstdio>

namespace kavo {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string WindowsFileSystemName(std::string_view type, std::string_view version) {
    std::string t = Lower(type);
    if (t == "vfat" || t == "msdos" || t == "fat") {
        std::string v = Lower(version);
        if (v == "fat12" || v == "fat16") return "FAT";
        if (v == "fat32") return "FAT32";
        return {};
    }
    if (t == "exfat") return "exFAT";
    if (t == "ntfs" || t == "ntfs3") return "NTFS";
    if (t == "iso9660") return "CDFS";
    if (t == "udf") return "UDF";
    return std::string(type);
}

std::string FatNameForClusterCount(std::uint64_t clusters) {
    return clusters < 65525 ? "FAT" : "FAT32";
}

std::string FormatVolumeNumber(std::uint32_t number) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X-%04X", number >> 16, number & 0xFFFF);
    return text;
}

std::optional<std::uint32_t> VolumeNumberFromUuid(std::string_view uuid) {
    std::string digits;
    if (uuid.size() == 9 && uuid[4] == '-') {
        digits = std::string(uuid.substr(0, 4)) + std::string(uuid.substr(5));
    } else if (uuid.size() == 16) {
        digits = std::string(uuid.substr(8));
    } else {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(d);
    }
    return value;
}

std::map<std::string, std::string> ParseUdevProperties(std::string_view text) {
    std::map<std::string, std::string> properties;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.starts_with("E:")) continue;
        line.remove_prefix(2);
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        properties[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    return properties;
}

TDiskInfo::TDiskInfo(TComponent* owner) : TComponent(owner) {}

void TDiskInfo::Clear() {
    driveType_ = DRIVE_NO_ROOT_DIR;
    ready_ = false;
    fileSystemName_.clear();
    volumeLabel_.clear();
    volumeNumber_ = 0;
    volumeNumberFmt_.clear();
    serialNumber_.clear();
}

}  // namespace kavo
