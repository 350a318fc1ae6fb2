// The names of USB storage mode that every platform's window needs: the drive of a volume
// broadcast, and the name the firmware gets on the terminal's volume.
#include "app/usb_download.h"

#include "platform/file_io.h"

namespace kavo {

char DriveLetterOfUnitMask(std::uint32_t unitMask) {
    for (int bit = 25; bit >= 0; --bit)
        if (unitMask & (std::uint32_t{1} << bit)) return static_cast<char>('A' + bit);
    return 0;
}

std::string TUsbDownload::FileNamePart(const std::string& path) {
    std::size_t end = LastPathSeparator(path);
#ifdef _WIN32
    // "C:KV100.bin" names a file in the current folder of drive C.
    const std::size_t drive = path.find(':');
    if (drive != std::string::npos && (end == std::string::npos || drive > end)) end = drive;
#endif
    return end == std::string::npos ? path : path.substr(end + 1);
}

}  // namespace kavo
