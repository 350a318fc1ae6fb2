// SHA-256 digests in lower-case hex, of bytes in memory or of a file as it reads now.
//
// The system's cryptographic library computes them (libcrypto on Linux, CNG on Windows); nothing
// here is a hash of our own.
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kavo {

std::string Sha256Hex(std::span<const std::uint8_t> bytes);

// One digest computed piece by piece (posix_sha256.cpp: libcrypto; win32_sha256.cpp: the system's
// CNG provider). Any failure of the library makes Update return false and FinalHex empty.
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    bool Update(const void* bytes, std::size_t size);
    std::string FinalHex();

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

// A digest's bytes in lower-case hex.
std::string Sha256HexText(const unsigned char* digest, std::size_t length);

struct TFileDigest {
    std::string sha256;
    std::int64_t size = 0;
};
// The digest and size of the file at `path`; nothing when it cannot be read.
std::optional<TFileDigest> FileSha256(const std::string& path);

}  // namespace kavo
