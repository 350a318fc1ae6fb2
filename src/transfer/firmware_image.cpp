#include "transfer/firmware_image.h"

#include <algorithm>
#include <cerrno>

#include "platform/file_io.h"

namespace kavo {
namespace {

// Reads of a file that changes under them before the load gives up.
constexpr int kReadAttempts = 3;

TFirmwareImage::TLoadResult Failure(int error, std::string message) {
    TFirmwareImage::TLoadResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

// Reads the whole file from its start; at most kMaxImageSize + 1 bytes, so that a file that grew
// past the limit is noticed. Returns the errno of a failed read, 0 otherwise.
int ReadAll(const TFileReader& file, std::vector<std::uint8_t>& bytes, std::int64_t expected) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(std::min(expected, kMaxImageSize) + 1));
    std::uint8_t chunk[65536];
    std::int64_t offset = 0;
    while (offset <= kMaxImageSize) {
        const std::int64_t n = file.ReadAt(chunk, sizeof chunk, offset);
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        offset += n;
    }
    return 0;
}

}  // namespace

TFirmwareImage::TFirmwareImage(std::string path, std::vector<std::uint8_t> bytes,
                               std::int64_t modifiedTime)
    : path_(std::move(path)), bytes_(std::move(bytes)), modifiedTime_(modifiedTime) {}

std::string ImageLimitText() { return std::to_string(kMaxImageSize >> 20) + " MiB"; }

TFirmwareImage::TLoadResult TFirmwareImage::Load(const std::string& path) {
    const TFileReader file(path);
    if (file.Error() != 0) return Failure(file.Error(), path + ": " + ErrnoText(file.Error()));
    TFileFacts before;
    if (const int error = file.Facts(before); error != 0) {
        return Failure(error, path + ": " + ErrnoText(error));
    }
    if (before.folder) return Failure(EISDIR, path + " is a folder, not a firmware file");
    if (!before.regular) return Failure(EINVAL, path + " is not a regular file");

    std::vector<std::uint8_t> bytes;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (before.size > kMaxImageSize) {
            return Failure(EFBIG, path + " has " + std::to_string(before.size) +
                                      " bytes; firmware files above " + ImageLimitText() +
                                      " are refused");
        }
        if (const int error = ReadAll(file, bytes, before.size); error != 0) {
            return Failure(error, path + ": " + ErrnoText(error));
        }
        if (static_cast<std::int64_t>(bytes.size()) > kMaxImageSize) {
            return Failure(EFBIG, path + " has grown above " + ImageLimitText() +
                                      "; firmware files above that are refused");
        }
        TFileFacts after;
        if (const int error = file.Facts(after); error != 0) {
            return Failure(error, path + ": " + ErrnoText(error));
        }
        // Written to while it was read: the bytes may be half of each version.
        if (SameFileVersion(before, after) && static_cast<std::int64_t>(bytes.size()) == after.size) {
            TLoadResult result;
            result.image = std::make_shared<TFirmwareImage>(path, std::move(bytes),
                                                            after.modifiedSeconds);
            return result;
        }
        before = after;
    }
    return Failure(EAGAIN, path + " kept changing while it was read; send it once it is complete");
}

}  // namespace kavo
