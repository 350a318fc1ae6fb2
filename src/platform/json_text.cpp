#include "platform/json_text.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace kavo {
namespace {

// The length of the valid UTF-8 sequence at `i`, or 0.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) { length = 2; code = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { length = 3; code = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { length = 4; code = c & 0x07; }
    else return 0;
    if (i + length > s.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no valid text.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class TReader {
public:
    explicit TReader(const std::string& text) : s_(text) {}

    std::optional<TJsonMembers> Object() {
        TJsonMembers members;
        Space();
        if (!Take('{')) return std::nullopt;
        Space();
        if (Take('}')) return End(members);
        for (;;) {
            Space();
            std::string name;
            if (!String(name)) return std::nullopt;
            Space();
            if (!Take(':')) return std::nullopt;
            Space();
            TJsonValue value;
            if (!Value(value)) return std::nullopt;
            members[name] = std::move(value);
            Space();
            if (Take('}')) return End(members);
            if (!Take(',')) return std::nullopt;
        }
    }

private:
    std::optional<TJsonMembers> End(TJsonMembers& members) {
        Space();
        if (i_ != s_.size()) return std::nullopt;
        return std::move(members);
    }
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
    }
    bool Take(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool Value(TJsonValue& value) {
        if (i_ >= s_.size()) return false;
        if (s_[i_] == '"') {
            std::string text;
            if (!String(text)) return false;
            value = std::move(text);
            return true;
        }
        if (Word("true")) { value = true; return true; }
        if (Word("false")) { value = false; return true; }
        return Integer(value);
    }
    bool Integer(TJsonValue& value) {
        const bool negative = Take('-');
        if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) return false;
        if (s_[i_] == '0' && i_ + 1 < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_ + 1]))) {
            return false;  // no leading zeros in JSON
        }
        std::uint64_t magnitude = 0;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
            const unsigned digit = static_cast<unsigned>(s_[i_++] - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
        }
        if (i_ < s_.size() && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) return false;
        const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) +
                                    (negative ? 1u : 0u);
        if (magnitude > limit) return false;
        value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
        return true;
    }
    bool Hex4(std::uint32_t& code) {
        if (i_ + 4 > s_.size()) return false;
        code = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            code <<= 4;
            if (c >= '0' && c <= '9') code |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') code |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') code |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                const std::size_t length = Utf8Length(s_, i_);
                if (length == 0) return false;
                out.append(s_, i_, length);
                i_ += length;
                continue;
            }
            if (++i_ >= s_.size()) return false;
            const char e = s_[i_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t code = 0;
                if (!Hex4(code)) return false;
                if (code >= 0xD800 && code <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return false;
                }
                AppendUtf8(out, code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

void TJsonObject::Name(const std::string& name) {
    if (!members_.empty()) members_ += ',';
    members_ += JsonString(name) + ':';
}

TJsonObject& TJsonObject::Add(const std::string& name, const std::string& value) {
    Name(name);
    members_ += JsonString(value);
    return *this;
}

TJsonObject& TJsonObject::Add(const std::string& name, const char* value) {
    return Add(name, std::string(value ? value : ""));
}

TJsonObject& TJsonObject::Add(const std::string& name, std::int64_t value) {
    Name(name);
    members_ += std::to_string(value);
    return *this;
}

TJsonObject& TJsonObject::Add(const std::string& name, bool value) {
    Name(name);
    members_ += value ? "true" : "false";
    return *this;
}

std::optional<TJsonMembers> ParseFlatJsonObject(const std::string& line) {
    return TReader(line).Object();
}

std::string JsonText(const TJsonMembers& members, const std::string& name, const std::string& fallback) {
    const auto it = members.find(name);
    if (it == members.end()) return fallback;
    const std::string* text = std::get_if<std::string>(&it->second);
    return text ? *text : fallback;
}

std::int64_t JsonInteger(const TJsonMembers& members, const std::string& name, std::int64_t fallback) {
    const auto it = members.find(name);
    if (it == members.end()) return fallback;
    const std::int64_t* number = std::get_if<std::int64_t>(&it->second);
    return number ? *number : fallback;
}

}  // namespace kavo
