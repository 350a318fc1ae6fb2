#include "platform/sha256.h"

#include "platform/file_io.h"

#include <fstream>
#include <vector>

namespace kavo {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    TSha256 digest;
    if (!digest.Update(bytes.data(), bytes.size())) return {};
    return digest.FinalHex();
}

std::optional<TFileDigest> FileSha256(const std::string& path) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) return std::nullopt;
    TSha256 digest;
    TFileDigest result;
    std::vector<char> buffer(64 * 1024);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        if (!digest.Update(buffer.data(), static_cast<std::size_t>(got))) return std::nullopt;
        result.size += got;
    }
    if (in.bad()) return std::nullopt;
    result.sha256 = digest.FinalHex();
    if (result.sha256.empty()) return std::nullopt;
    return result;
}

std::string Sha256HexText(const unsigned char* digest, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 0x0F]);
    }
    return text;
}

}  // namespace kavo
