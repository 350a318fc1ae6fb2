// The physical USB device behind a serial port or a volume, as sysfs tells it.
//
// A terminal that presents a serial port and a FAT volume over one USB cable shows both as
// interfaces of one USB device: in sysfs the tty's device folder and the volume's block device
// lie below the same folder, the one with idVendor (for instance .../usb1/1-2/1-2.3). That
// folder, made canonical, is the device's physical place; two of them are the same place when
// the texts are equal.
//
// The sysfs root is "/sys" unless KAVODOWN_SYSFS names another one (a simulated USB topology
// for the tests and the simulators).
//
// Thread safety: plain functions; they read the file system only.
#pragma once

#include <string>

namespace kavo {

// $KAVODOWN_SYSFS when it names a folder, else "/sys".
std::string SysfsRoot();

// The USB device folder of a tty device path (a link to it is followed); "" when the port is on
// no USB device (a pty, a built-in RS-232 port) or the path names no tty.
std::string UsbDeviceOfPort(const std::string& devicePath, const std::string& sysRoot);

// Where a volume lives, as far as sysfs knows it.
struct TVolumePlace {
    bool known = false;     // sysfs has the volume's block device
    std::string usbDevice;  // its USB device folder; "" when it is on none
};

// The place of the block device major:minor (a disk or a partition). An anonymous number (a
// FUSE image mount's) is one that the real sysfs never knows.
TVolumePlace UsbPlaceOfBlockDevice(unsigned major, unsigned minor, const std::string& sysRoot);

// The vendor and product ids and the serial number of a USB device folder; empty texts for "".
struct TUsbIdentity {
    std::string vendor, product, serial;
};
TUsbIdentity UsbIdentityOfDevice(const std::string& usbDevice);

// The identity of the USB device behind a tty path; empty texts when it is on none.
TUsbIdentity UsbIdentityOfPort(const std::string& devicePath, const std::string& sysRoot = SysfsRoot());

}  // namespace kavo
