// Unit UUtil: the tool's small routines for settings, port names, files and terminal packets.
//
// Text here is a byte string (std::string), one byte per character; on Linux the bytes are UTF-8.
// All routines run on the user-interface thread but keep no state, so any thread may call them.
#pragma once

#include "serial/errors.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kavo {

// ---- Settings files -------------------------------------------------------------------------

// The value of `key` in `section` of the INI file, or empty text when the file, the section or
// the key is missing. A file name of exactly "setup.ini" means that file in the settings folder.
std::string ReadIni(const std::string& section, const std::string& key,
                    const std::string& fileName);

// Sets `key` in `section` to `value`, creating the file, section or key as needed (the same file
// name rule as ReadIni). Returns false, and writes the reason to the standard error, when the
// value could not be stored; the file is then left as it was. A reason that is the same as that of
// the previous failed write is not written again until a write has succeeded.
bool WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& fileName);

// The file a settings file name refers to ("setup.ini" rule).
std::string IniFilePath(const std::string& fileName);

// ---- Operating system and port list ---------------------------------------------------------

// Platform ids of the version query. kPlatformLinux is this tool's own addition.
constexpr int kPlatformWin32s = 0;
constexpr int kPlatformWindows = 1;
constexpr int kPlatformNT = 2;
constexpr int kPlatformLinux = 0x4C;

// The code of a Linux system: its port list comes from the port map.
constexpr int kOsCodeLinux = 10;

// The version code for a query result; queryOk false gives -1.
int OSVersionCodeFor(bool queryOk, int platformId, int major, int minor);
// The version code of the running system.
int GetOSVersionCode();

// One value of the system's list of serial ports: a value name and its data (a device name).
using PortRegistryValue = std::pair<std::string, std::string>;
// The list of values; nullopt when the list cannot be opened.
using PortRegistry = std::optional<std::vector<PortRegistryValue>>;

// Method A: probes the names COM1..COM256 and lists each name that has a value whose data fits.
std::vector<std::string> ComPortsByProbe(const PortRegistry& registry);
// Method B: enumerates the values in order and lists their data, trimmed; data that does not
// fit the buffer is left out. Value names (device paths) may be of any length.
std::vector<std::string> ComPortsByEnumeration(const PortRegistry& registry);
// The system's list of serial ports as name/value pairs: on Windows, the registry's serial port
// map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM); on Linux, one value per port of the
// port map, named by its device path, with the data "COMn".
PortRegistry SystemPortRegistry();

// Fills `list` by the method that `code` selects (A for 2, 3, 7; B for 5, 6, 8, 9 and the Linux
// code); other codes leave the list untouched.
void GetComPortList(int code, std::vector<std::string>& list);

// ---- Files ----------------------------------------------------------------------------------

// -1 when no file exists at `path` (a folder counts as no file) or it cannot be opened for
// reading; otherwise its size in bytes, limited to the largest 32-bit value.
std::int32_t GetFileSize(const std::string& path);

// True when a regular file exists at `path` (not a folder, FIFO, device or socket; a link counts
// as what it points to).
bool FileExists(const std::string& path);

// ---- Terminal packets -----------------------------------------------------------------------

constexpr unsigned char kSTX = 0x02;
constexpr unsigned char kACK = 0x06;
constexpr unsigned char kNAK = 0x15;
constexpr unsigned char kSI = 0x0F;
// The data of a packet is at most this long: its length must fit four decimal digits.
constexpr std::size_t kMaxPacketData = 9999;

// Packs decimal digit text into BCD, two digits a byte, an odd length padded with a blank on the
// left. No byte is checked: every byte takes part in the arithmetic.
std::string StrToBcd(const std::string& digits);
// The reverse for received headers: value = value * 100 + high * 10 + low for each byte.
int BcdToInt(const std::string& bcd);
// XOR of all bytes, starting from 0.
unsigned char MakeLRC(const std::string& data);
// Returns the bytes of `text` before the first `separator` and removes them and the separator
// from `text`; without a separator, all of `text` (which is left empty).
std::string GetToken(std::string& text, char separator);
// The last `width` bytes of (`pad` repeated `width` times, followed by `text`).
std::string PadLeft(const std::string& text, int width, const std::string& pad);
// `text` repeated `count` times; empty for 0 or less.
std::string RepeatStr(int count, const std::string& text);
// STX, command, BCD length, data, LRC. Throws std::length_error for more than kMaxPacketData bytes.
std::string BuildPacket(unsigned char cmd, const std::string& data);
// UTF-16 text to the tool's byte encoding (UTF-8); an unpaired surrogate becomes '?'.
std::string WideToBytes(const std::u16string& text);

}  // namespace kavo

namespace kavo {

// Decimal text to an integer: optional blanks before it, an optional sign, then digits only.
// Raises EConvertError "'<text>' is not a valid integer value" otherwise (or when it overflows).
int StrToInt(const std::string& text);
// As StrToInt, but `fallback` instead of the error.
int StrToIntDef(const std::string& text, int fallback);

}  // namespace kavo
