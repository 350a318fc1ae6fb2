// Flat JSON objects as one line of text: written by the machine-readable progress stream and the
// station's records, read back by the station from its slots' children.
//
// Only what those streams need: an object of string, integer and boolean members, no nesting.
// The reader takes any object of that shape (members in any order, spaces between tokens, the
// escapes of the JSON grammar including \uXXXX with surrogate pairs) and refuses anything else.
//
// Thread safety: plain functions and a value class without shared state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace kavo {

// `text` as a JSON string, with its quotes. Bytes that are not valid UTF-8 become U+FFFD, so
// the line stays valid JSON whatever a device name or file name holds.
std::string JsonString(const std::string& text);

// Builds one object member by member, in the order they are added.
class TJsonObject {
public:
    TJsonObject& Add(const std::string& name, const std::string& value);
    TJsonObject& Add(const std::string& name, const char* value);
    TJsonObject& Add(const std::string& name, std::int64_t value);
    TJsonObject& Add(const std::string& name, int value) { return Add(name, std::int64_t{value}); }
    TJsonObject& Add(const std::string& name, bool value);
    // "{...}", without a newline.
    std::string Text() const { return "{" + members_ + "}"; }

private:
    void Name(const std::string& name);
    std::string members_;
};

using TJsonValue = std::variant<std::string, std::int64_t, bool>;
using TJsonMembers = std::map<std::string, TJsonValue>;

// The members of a flat object, or nothing when `line` is not one (trailing spaces and a
// carriage return are allowed; a second object, nesting, arrays, null or fractions are not).
std::optional<TJsonMembers> ParseFlatJsonObject(const std::string& line);

// A member's value of the expected kind, else `fallback`.
std::string JsonText(const TJsonMembers& members, const std::string& name,
                     const std::string& fallback = {});
std::int64_t JsonInteger(const TJsonMembers& members, const std::string& name,
                         std::int64_t fallback = 0);

}  // namespace kavo
