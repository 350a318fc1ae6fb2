// The packet text routines on arbitrary input: BCD packing and reading, tokens, left padding,
// and whole packets. Checks the relations that hold for any input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/uutil.h"

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
    if (size < 3) return 0;
    const int width = (data[0] | (data[1] << 8)) % 4097 - 8;  // negative widths included
    const char separator = static_cast<char>(data[2]);
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

    const std::string bcd = kavo::StrToBcd(text);
    Check(bcd.size() == (text.size() + 1) / 2);
    (void)kavo::BcdToInt(bcd);
    (void)kavo::BcdToInt(text);
    // Digit text packs and reads back (as far as an int holds it).
    std::string digits;
    for (char c : text) digits.push_back(static_cast<char>('0' + static_cast<unsigned char>(c) % 10));
    if (digits.size() <= 8) Check(kavo::BcdToInt(kavo::StrToBcd(digits)) == (digits.empty() ? 0 : std::stoi(digits)));

    const std::string pad = text.substr(0, text.size() % 5);
    const std::string padded = kavo::PadLeft(text, width, pad);
    if (width <= 0) {
        Check(padded.empty());
    } else {
        Check(padded.size() <= static_cast<std::size_t>(width));
        if (text.size() >= static_cast<std::size_t>(width)) Check(padded == text.substr(text.size() - width));
        else Check(padded.size() >= text.size() && padded.compare(padded.size() - text.size(), text.size(), text) == 0);
    }

    // Tokens put back together with the separator give the text again. Each token takes the
    // rest's front away, so a long text of separators costs its length squared: the first 512
    // bytes reach every branch at a fraction of the time.
    const std::string tokenText = text.substr(0, 512);
    std::string rest = tokenText;
    std::string joined;
    bool first = true;
    for (std::size_t guard = 0; guard <= tokenText.size() + 1; ++guard) {
        const bool had = rest.find(separator) != std::string::npos;
        const std::string token = kavo::GetToken(rest, separator);
        if (!first) joined.push_back(separator);
        joined += token;
        first = false;
        if (!had) break;
    }
    Check(rest.empty() && joined == tokenText);

    if (text.size() <= kavo::kMaxPacketData) {
        const std::string packet = kavo::BuildPacket(static_cast<unsigned char>(separator), text);
        Check(packet.size() == text.size() + 5);
        Check(kavo::BcdToInt(packet.substr(2, 2)) == static_cast<int>(text.size()));
        Check(kavo::MakeLRC(packet) == 0);
    }
    return 0;
}
