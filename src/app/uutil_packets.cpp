#include "app/uutil.h"

#include <cstdio>
#include <stdexcept>

namespace kavo {

std::string RepeatStr(int count, const std::string& text) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

std::string PadLeft(const std::string& text, int width, const std::string& pad) {
    // The last `width` characters of `width` copies of pad followed by text, built without the
    // copies: only the characters that are kept.
    if (width <= 0) return {};
    const std::size_t w = static_cast<std::size_t>(width);
    if (text.size() >= w) return text.substr(text.size() - w);
    if (pad.empty()) return text;
    const std::size_t need = w - text.size();
    const std::size_t start = (w * pad.size() - need) % pad.size();
    std::string out;
    out.reserve(w);
    for (std::size_t i = 0; i < need; ++i) out.push_back(pad[(start + i) % pad.size()]);
    return out + text;
}

std::string StrToBcd(const std::string& digits) {
    std::string text = digits;
    if (text.size() % 2 != 0) text = PadLeft(text, static_cast<int>(text.size()) + 1, " ");
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        auto high = static_cast<unsigned char>(static_cast<unsigned char>(text[i]) - 0x30);
        auto low = static_cast<unsigned char>(static_cast<unsigned char>(text[i + 1]) - 0x30);
        out.push_back(static_cast<char>(static_cast<unsigned char>((high << 4) | low)));
    }
    return out;
}

int BcdToInt(const std::string& bcd) {
    // Unsigned arithmetic: a long run of bytes wraps instead of overflowing.
    unsigned value = 0;
    for (char c : bcd) {
        auto b = static_cast<unsigned char>(c);
        value = value * 100 + (b >> 4) * 10 + (b & 0x0F);
    }
    return static_cast<int>(value);
}

unsigned char MakeLRC(const std::string& data) {
    unsigned char lrc = 0;
    for (char c : data) lrc ^= static_cast<unsigned char>(c);
    return lrc;
}

std::string GetToken(std::string& text, char separator) {
    std::size_t p = text.find(separator);
    std::string token;
    if (p == std::string::npos) {
        token.swap(text);
    } else {
        token = text.substr(0, p);
        text.erase(0, p + 1);
    }
    return token;
}

std::string BuildPacket(unsigned char cmd, const std::string& data) {
    if (data.size() > kMaxPacketData) {
        throw std::length_error("packet data of " + std::to_string(data.size()) +
                                " bytes exceeds the limit of 9999");
    }
    char length[8];
    std::snprintf(length, sizeof length, "%04zu", data.size());
    std::string packet;
    packet.push_back(static_cast<char>(kSTX));
    packet.push_back(static_cast<char>(cmd));
    packet += StrToBcd(length);
    packet += data;
    packet.push_back(static_cast<char>(MakeLRC(packet)));
    return packet;
}

std::string WideToBytes(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace kavo
