// The mount table parser on arbitrary text: no crash; the whole table is the lines that parse
// one by one; the volume test accepts every index of the table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/volume_watcher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto table = kavo::ParseMountInfo(text);
    std::size_t parsed = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (kavo::ParseMountInfoLine(text.substr(start, end - start))) ++parsed;
        start = end + 1;
    }
    if (parsed != table.size()) std::abort();
    for (std::size_t i = 0; i < table.size(); ++i) (void)kavo::IsVolumeEntry(table, i);
    for (const auto& e : table) (void)kavo::UnescapeMountField(e.mountPoint);
    (void)kavo::BroadcastDriveLetter(std::span<const std::uint8_t>(data, size));
    return 0;
}
