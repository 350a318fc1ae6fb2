#include "transfer/firmware_image.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavo {
namespace {

// Reads of a file that changes under them before the load gives up.
constexpr int kReadAttempts = 3;

bool SameVersion(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

TFirmwareImage::TLoadResult Failure(int error, std::string message) {
    TFirmwareImage::TLoadResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

// Reads the whole file from its start; at most kMaxImageSize + 1 bytes, so that a file that grew
// past the limit is noticed. Returns the errno of a failed read, 0 otherwise.
int ReadAll(int fd, std::vector<std::uint8_t>& bytes, std::int64_t expected) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(std::min(expected, kMaxImageSize) + 1));
    std::uint8_t chunk[65536];
    std::int64_t offset = 0;
    while (offset <= kMaxImageSize) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
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
    const TUniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file) {
        const int error = errno;
        return Failure(error, path + ": " + std::strerror(error));
    }
    struct stat before {};
    if (::fstat(file.Get(), &before) != 0) {
        const int error = errno;
        return Failure(error, path + ": " + std::strerror(error));
    }
    if (S_ISDIR(before.st_mode)) return Failure(EISDIR, path + " is a folder, not a firmware file");
    if (!S_ISREG(before.st_mode)) return Failure(EINVAL, path + " is not a regular file");

    std::vector<std::uint8_t> bytes;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (before.st_size > kMaxImageSize) {
            return Failure(EFBIG, path + " has " + std::to_string(before.st_size) +
                                      " bytes; firmware files above " + ImageLimitText() +
                                      " are refused");
        }
        if (const int error = ReadAll(file.Get(), bytes, before.st_size); error != 0) {
            return Failure(error, path + ": " + std::strerror(error));
        }
        if (static_cast<std::int64_t>(bytes.size()) > kMaxImageSize) {
            return Failure(EFBIG, path + " has grown above " + ImageLimitText() +
                                      "; firmware files above that are refused");
        }
        struct stat after {};
        if (::fstat(file.Get(), &after) != 0) {
            const int error = errno;
            return Failure(error, path + ": " + std::strerror(error));
        }
        // Written to while it was read: the bytes may be half of each version.
        if (SameVersion(before, after) &&
            static_cast<std::int64_t>(bytes.size()) == after.st_size) {
            TLoadResult result;
            result.image = std::make_shared<TFirmwareImage>(path, std::move(bytes),
                                                            static_cast<std::int64_t>(after.st_mtime));
            return result;
        }
        before = after;
    }
    return Failure(EAGAIN, path + " kept changing while it was read; send it once it is complete");
}

}  // namespace kavo
