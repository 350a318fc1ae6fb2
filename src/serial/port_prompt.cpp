#include "serial/port_prompt.h"

#include "serial/errors.h"

#include <algorithm>
#include <cctype>

namespace kavo {

int PromptExtraWidth(int labelTextWidth) {
    // The labels start 18 pixels in and keep a margin inside the bevel, which ends at 8 + 201.
    const int needed = 18 + labelTextWidth + 4;
    return std::max(0, needed + 15 - (8 + 201));
}

std::vector<std::string> PromptPortEntries(const std::function<bool(int)>& available) {
    std::vector<std::string> entries;
    for (int n = 1; n <= kPromptMaxPort; ++n)
        if (available(n)) entries.push_back("COM" + std::to_string(n));
    return entries;
}

int ComNumberOfEntry(const std::string& entry) {
    std::string digits = entry.size() > 3 ? entry.substr(3) : "";
    std::size_t start = (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) ? 1 : 0;
    bool valid = digits.size() > start && digits.size() - start <= 9;
    for (std::size_t i = start; valid && i < digits.size(); ++i)
        valid = std::isdigit(static_cast<unsigned char>(digits[i])) != 0;
    if (!valid) throw EConvertError("'" + digits + "' is not a valid integer value");
    return std::stoi(digits);
}

std::optional<int> PromptAnswer(int modalResult, const std::string& selectedEntry) {
    if (modalResult != mrOk) return std::nullopt;
    return ComNumberOfEntry(selectedEntry);
}

}  // namespace kavo
