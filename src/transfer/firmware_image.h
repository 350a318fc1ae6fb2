// A firmware file read once into memory: the image a transfer sends.
//
// A transfer takes its bytes from the image, never from the file again, so what goes out is the
// file as it was when the image was taken, whatever happens to the file meanwhile (rewritten in
// place, cut, replaced). Firmware images are small; a file above kMaxImageSize is refused rather
// than sent in pieces from the disk. A file that changes while it is being read is read again,
// and refused when it keeps changing, so an image is never a mix of two versions.
//
// Thread safety: Load may be called from any thread; an image is immutable once loaded and may
// be shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavo {

// The largest firmware file taken into memory (64 MiB).
constexpr std::int64_t kMaxImageSize = std::int64_t{64} << 20;

class TFirmwareImage {
public:
    // The outcome of Load: an image, or the errno of the failure (EFBIG for a file above
    // kMaxImageSize, EISDIR or EINVAL for something that is not a regular file, EAGAIN for a file
    // that kept changing while it was read) and a text that names the path.
    struct TLoadResult {
        std::shared_ptr<const TFirmwareImage> image;
        int error = 0;
        std::string message;
    };

    static TLoadResult Load(const std::string& path);
    // An image of `bytes` under `path`, for callers that hold the bytes already.
    TFirmwareImage(std::string path, std::vector<std::uint8_t> bytes, std::int64_t modifiedTime = 0);

    const std::string& Path() const { return path_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    std::int64_t Size() const { return static_cast<std::int64_t>(bytes_.size()); }
    // The file's modification time (seconds since the epoch) when it was read.
    std::int64_t ModifiedTime() const { return modifiedTime_; }

private:
    std::string path_;
    std::vector<std::uint8_t> bytes_;
    std::int64_t modifiedTime_ = 0;
};

// "64 MiB": the limit as the messages show it.
std::string ImageLimitText();

}  // namespace kavo
