#include "platform/file_io.h"

namespace kavo {

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool IsPathSeparator(char c) {
#ifdef _WIN32
    if (c == '\\') return true;
#endif
    return c == '/';
}

std::size_t LastPathSeparator(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return i - 1;
    }
    return std::string::npos;
}

bool SameFileVersion(const TFileFacts& a, const TFileFacts& b) {
    return a.size == b.size && a.changeStamp[0] == b.changeStamp[0] &&
           a.changeStamp[1] == b.changeStamp[1];
}

}  // namespace kavo
