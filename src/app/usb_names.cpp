// The names of USB storage mode that every platform's window needs: the drive of a volume
// broadcast, and the name the firmware gets on the terminal's volume.
#include "app/usb_download.h"

namespace kavo {

char DriveLetterOfUnitMask(std::uint32_t unitMask) {
    for (int bit = 25; bit >= 0; --bit)
        if (unitMask & (std::uint32_t{1} << bit)) return static_cast<char>('A' + bit);
    return 0;
}

std::string TUsbDownload::FileNamePart(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kavo
