#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/geometry.h"

namespace vel::host {

struct MonitorInfo {
    Rect rect;  // in root-window coordinates
    bool primary = false;
};

// The output that outputIndex names: the monitors in the server's order with the primary moved to
// the front, clipped to the screen. A server that reports no monitors has one output, the whole
// screen. Error "no desktop-attached output found" when the index is past the end.
[[nodiscard]] bool selectOutput(const std::vector<MonitorInfo>& monitors, const Rect& screen,
                                std::uint32_t outputIndex, Rect& output, std::string& error);

}  // namespace vel::host
