#include "platform/profile.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/file_io.h"

namespace kavo {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// The name of a section line ("[name]"), or nullopt for any other line.
std::optional<std::string> SectionName(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    std::size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// The key of a "key=value" line, or nullopt for comments and other lines.
std::optional<std::string> KeyName(const std::string& line, std::string* value = nullptr) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    if (value) *value = Trim(t.substr(eq + 1));
    return Trim(t.substr(0, eq));
}

// The lines of a file's text, without their line ends ("\n" or "\r\n"); a last line without
// one counts as a line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

bool HasLineBreak(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string SystemError(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + ErrnoText(err);
}

// Whether the names and the value can be stored (see the header); the error names `path`.
ProfileWriteResult CheckEntry(const std::string& section, const std::string& key, const std::string& value,
                              const std::string& path) {
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
        return {false, "cannot store a line break in the settings file " + path +
                           " (section [" + section + "], key " + key + ")"};
    }
    // A key that begins with ';' or '[' would be stored as a comment or a section line and could
    // never be read back, so it is rejected like a key with '='.
    const std::string trimmedKey = Trim(key);
    if (trimmedKey.empty() || key.find('=') != std::string::npos || trimmedKey[0] == ';' ||
        trimmedKey[0] == '[') {
        return {false, "invalid key name '" + key + "' for the settings file " + path};
    }
    if (Trim(section).empty() || section.find(']') != std::string::npos) {
        return {false, "invalid section name '" + section + "' for the settings file " + path};
    }
    return {true, {}};
}

}  // namespace

std::optional<std::string> ProfileTextValue(const std::string& text, const std::string& section,
                                            const std::string& key) {
    bool inSection = false;
    for (const std::string& line : SplitLines(text)) {
        if (auto name = SectionName(line)) {
            inSection = EqualNoCase(*name, Trim(section));
            continue;
        }
        if (!inSection) continue;
        std::string value;
        if (auto k = KeyName(line, &value); k && EqualNoCase(*k, Trim(key))) return value;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ProfileTextSection(const std::string& text,
                                                                    const std::string& section) {
    std::vector<std::pair<std::string, std::string>> entries;
    bool inSection = false;
    for (const std::string& line : SplitLines(text)) {
        if (auto name = SectionName(line)) {
            inSection = EqualNoCase(*name, Trim(section));
            continue;
        }
        std::string value;
        if (auto k = KeyName(line, &value); inSection && k) entries.emplace_back(*k, value);
    }
    return entries;
}

ProfileWriteResult SetProfileTextValue(std::string& text, const std::string& section, const std::string& key,
                                       const std::string& value, const std::string& path) {
    if (auto checked = CheckEntry(section, key, value, path); !checked) return checked;
    const std::string trimmedKey = Trim(key);
    std::vector<std::string> lines = SplitLines(text);
    const std::string newLine = trimmedKey + "=" + value;
    std::size_t sectionStart = lines.size();  // index of the section line
    std::size_t insertAt = lines.size();      // after the last non-blank line of the section
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto name = SectionName(lines[i])) {
            if (sectionStart != lines.size()) break;  // past our section
            if (EqualNoCase(*name, Trim(section))) {
                sectionStart = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (sectionStart == lines.size()) continue;
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
        if (auto k = KeyName(lines[i]); k && EqualNoCase(*k, trimmedKey)) {
            lines[i] = newLine;
            done = true;
        }
    }
    if (!done) {
        if (sectionStart == lines.size()) {
            lines.push_back("[" + Trim(section) + "]");
            lines.push_back(newLine);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        }
    }
    text.clear();
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return {true, {}};
}

std::optional<std::string> ReadProfileString(const std::string& section, const std::string& key,
                                             const std::string& path) {
    std::string text;
    if (!ReadText(path, text)) return std::nullopt;
    return ProfileTextValue(text, section, key);
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& section,
                                                                    const std::string& path) {
    std::string text;
    if (!ReadText(path, text)) return {};
    return ProfileTextSection(text, section);
}

ProfileWriteResult WriteProfileString(const std::string& section, const std::string& key,
                                      const std::string& value, const std::string& path) {
    if (auto checked = CheckEntry(section, key, value, path); !checked) return checked;
    TFileFacts facts;
    const bool exists = ReadFileFacts(path, facts) == 0;
    if (exists && !facts.regular) return {false, path + " is not a regular file"};
    std::string contents;
    if (exists && !ReadText(path, contents)) {
        return {false, SystemError("cannot read", path, errno)};
    }
    SetProfileTextValue(contents, section, key, value, path);
    const TReplaceResult replaced = ReplaceFileContents(path, contents);
    if (replaced.noTemporaryFile) {
        return {false, SystemError("cannot create a temporary file for", path, replaced.error)};
    }
    if (replaced.error != 0) return {false, SystemError("cannot write", path, replaced.error)};
    return {true, {}};
}

}  // namespace kavo
