// SHA-256 digests in lower-case hex, of bytes in memory or of a file as it reads now.
//
// The system's cryptographic library computes them (on Linux libcrypto); nothing here is a hash
// of our own.
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kavo {

std::string Sha256Hex(std::span<const std::uint8_t> bytes);

struct TFileDigest {
    std::string sha256;
    std::int64_t size = 0;
};
// The digest and size of the file at `path`; nothing when it cannot be read.
std::optional<TFileDigest> FileSha256(const std::string& path);

}  // namespace kavo
