#include "app/entry/station_entry.h"

#include "app/entry/station_command.h"
#include "station/station_options.h"

namespace kavo {

std::optional<int> RunStationIfAsked(const std::vector<std::string>& arguments,
                                     const TFrontEnds& frontEnds, int& argc, char** argv) {
    if (!station::WantsStation(arguments)) return std::nullopt;
    return RunStationCommand(arguments, [&](const auto& options, const auto& image,
                                            const std::string& program) {
        if (!frontEnds.stationWindow) return NoWindow("run the station with --batch");
        return frontEnds.stationWindow(options, image, program, argc, argv);
    });
}

}  // namespace kavo
