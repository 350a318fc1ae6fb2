#include "app/entry/station_entry.h"

namespace kavo {

std::optional<int> RunStationIfAsked(const std::vector<std::string>&, const TFrontEnds&, int&, char**) {
    return std::nullopt;
}

}  // namespace kavo
