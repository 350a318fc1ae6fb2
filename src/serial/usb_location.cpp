#include "serial/usb_location.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kavo {
namespace {

namespace fs = std::filesystem;

// Interface, SCSI host, target, disk and partition folders lie between a block device or a tty
// and its USB device; none is this deep.
constexpr int kMaxDepth = 12;

std::string FirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The folder with idVendor at or above `start` (a canonical path inside `sysRoot`).
std::string UsbDeviceAbove(fs::path at, const fs::path& sysRoot) {
    std::error_code ec;
    for (int depth = 0; depth < kMaxDepth && !at.empty() && at != at.root_path(); ++depth) {
        if (at == sysRoot) break;
        if (fs::exists(at / "idVendor", ec)) return at.string();
        at = at.parent_path();
    }
    return {};
}

}  // namespace

std::string SysfsRoot() {
    const char* root = std::getenv("KAVODOWN_SYSFS");
    std::error_code ec;
    if (root && *root == '/' && fs::is_directory(root, ec)) return root;
    return "/sys";
}

std::string UsbDeviceOfPort(const std::string& devicePath, const std::string& sysRoot) {
    std::error_code ec;
    const fs::path device = fs::canonical(devicePath, ec);
    if (ec) return {};
    const fs::path root = fs::canonical(sysRoot, ec);
    if (ec) return {};
    const fs::path interface = fs::canonical(root / "class/tty" / device.filename() / "device", ec);
    if (ec) return {};
    return UsbDeviceAbove(interface, root);
}

TVolumePlace UsbPlaceOfBlockDevice(unsigned major, unsigned minor, const std::string& sysRoot) {
    TVolumePlace place;
    std::error_code ec;
    const fs::path root = fs::canonical(sysRoot, ec);
    if (ec) return place;
    const fs::path block = fs::canonical(
        root / "dev/block" / (std::to_string(major) + ":" + std::to_string(minor)), ec);
    if (ec) return place;
    place.known = true;
    place.usbDevice = UsbDeviceAbove(block, root);
    return place;
}

TUsbIdentity UsbIdentityOfDevice(const std::string& usbDevice) {
    TUsbIdentity identity;
    if (usbDevice.empty()) return identity;
    const fs::path at(usbDevice);
    identity.vendor = FirstLine(at / "idVendor");
    identity.product = FirstLine(at / "idProduct");
    identity.serial = FirstLine(at / "serial");
    return identity;
}

TUsbIdentity UsbIdentityOfPort(const std::string& devicePath, const std::string& sysRoot) {
    return UsbIdentityOfDevice(UsbDeviceOfPort(devicePath, sysRoot));
}

}  // namespace kavo
