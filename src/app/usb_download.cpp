#include "app/usb_download.h"

#include "app/copy_file.h"
#include "app/volume_notice.h"
#include "platform/exit_codes.h"
#include "platform/file_io.h"

#include <filesystem>

namespace kavo {

TUsbDownload::TUsbDownload(TDiskInfo& diskInfo, TUsbDownloadHooks hooks)
    : diskInfo_(diskInfo), hooks_(std::move(hooks)) {}

std::string TUsbDownload::DownFolder(const std::string& rootFolder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = PathFromUtf8(rootFolder);
    if (fs::is_directory(root / "Down", ec)) return Utf8FromPath(root / "Down");
    // The terminal may have written the name as DOWN; FAT itself ignores case, a FUSE driver or
    // a mount option may not.
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = Utf8FromPath(it->path().filename());
        if (name.size() == 4 && (name[0] | 0x20) == 'd' && (name[1] | 0x20) == 'o' &&
            (name[2] | 0x20) == 'w' && (name[3] | 0x20) == 'n') {
            std::error_code dirEc;
            if (it->is_directory(dirEc)) return Utf8FromPath(it->path());
        }
    }
    return {};
}

void TUsbDownload::DeviceChange(std::uint32_t event, const std::string& rootFolder) {
    if (!hooks_.usbMode || !hooks_.usbMode()) return;
    if (event == DBT_DEVICEARRIVAL) {
        Arrival(rootFolder);
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        // Any volume, not only the terminal's: the terminal leaves when it restarts with the new
        // firmware, and that ends the run.
        if (hooks_.destroyWindow) hooks_.destroyWindow();
        if (hooks_.exitProcess) hooks_.exitProcess(kExitVolumeRemoved);
    }
}

void TUsbDownload::Arrival(const std::string& rootFolder) {
    std::string folder = DownFolder(rootFolder);
    if (folder.empty()) return;  // not a terminal
    diskInfo_.SetRootFolder(rootFolder);
    if (diskInfo_.FileSystemName() != "FAT") return;
    std::string source = hooks_.fileName ? hooks_.fileName() : std::string();
    // The terminal is told whatever the result (a failed copy leaves no partial file behind for
    // it to find); a caller without an operator learns of a failure through `copied`.
    const std::string target = Utf8FromPath(PathFromUtf8(folder) / PathFromUtf8(FileNamePart(source)));
    const bool copied = CopyFileTo(source, target);
    if (hooks_.copied) hooks_.copied(target, copied);
    if (hooks_.sendCmd) hooks_.sendCmd(kFirmwareReadyCmd, u"E");
}

}  // namespace kavo
