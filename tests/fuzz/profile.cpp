// The settings (INI) reader on arbitrary file text, and a write into such text: no crash, the
// value written reads back, and every section read before the write that the write did not touch
// reads the same after it. All in memory: the file functions only read and rename around these.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/profile.h"

namespace {

// Stops the run with the line of the failed check.
#define Check(ok) \
    do { \
        if (!(ok)) { \
            std::fprintf(stderr, "check failed: %s:%d: %s\n", __FILE__, __LINE__, #ok); \
            std::abort(); \
        } \
    } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Names taken from the input itself, so that the reader meets sections and keys that exist.
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string section = "Setup";
    std::string key = "Port";
    const std::size_t open = text.find('[');
    const std::size_t close = text.find(']', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos && close > open) {
        section = text.substr(open + 1, close - open - 1);
    }
    const std::size_t eq = text.find('=');
    if (eq != std::string::npos) {
        const std::size_t lineStart = text.rfind('\n', eq);
        key = text.substr(lineStart == std::string::npos ? 0 : lineStart + 1,
                          eq - (lineStart == std::string::npos ? 0 : lineStart + 1));
    }

    (void)kavo::ProfileTextValue(text, section, key);
    const auto other = kavo::ProfileTextSection(text, "Other");
    (void)kavo::ProfileTextSection(text, section);

    std::string written = text;
    const auto result = kavo::SetProfileTextValue(written, section, key, "fuzzvalue", "setup.ini");
    if (!result) Check(written == text);  // a refused write changes nothing
    // The read-back is checked for names a person would write: printable, no blanks at the ends
    // (blanks and control bytes around names are not part of them).
    const auto plain = [](const std::string& name) {
        if (name.empty() || name.front() == ' ' || name.back() == ' ') return false;
        for (unsigned char c : name)
            if (c < 0x21 || c > 0x7e) return false;
        return true;
    };
    if (result && plain(section) && plain(key)) {
        const auto back = kavo::ProfileTextValue(written, section, key);
        Check(back.has_value() && *back == "fuzzvalue");
        // A section that differs from the written one (without regard to case) is unchanged.
        std::string a = section, b = "Other";
        for (auto& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (auto& c : b) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string trimmed = a;
        trimmed.erase(0, trimmed.find_first_not_of(" \t"));
        if (trimmed.find_last_not_of(" \t") != std::string::npos) trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
        if (trimmed != b) Check(kavo::ProfileTextSection(written, "Other") == other);
    }
    return 0;
}
