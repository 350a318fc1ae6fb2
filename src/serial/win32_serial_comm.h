// The registry's serial port map, HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: one value per port that a
// driver has made, named by the driver's device (such as \Device\Serial0) with the port's name
// (COM3) as its data. The port map's default rule and the port list read it.
//
// Thread safety: reads the registry on each call; any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavo {

// The map's values in the registry's order; nothing when the key cannot be opened.
std::optional<std::vector<std::pair<std::string, std::string>>> ReadSerialCommMap();

}  // namespace kavo
