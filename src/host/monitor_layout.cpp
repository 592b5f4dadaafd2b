#include "host/monitor_layout.h"

#include <algorithm>

namespace vel::host {

bool selectOutput(const std::vector<MonitorInfo>& monitors, const Rect& screen,
                  std::uint32_t outputIndex, Rect& output, std::string& error) {
    std::vector<Rect> ordered;
    for (const MonitorInfo& m : monitors)
        if (m.primary) ordered.push_back(m.rect);
    for (const MonitorInfo& m : monitors)
        if (!m.primary) ordered.push_back(m.rect);
    if (ordered.empty()) ordered.push_back(screen);

    if (outputIndex >= ordered.size()) {
        error = "no desktop-attached output found";
        return false;
    }
    Rect r = ordered[outputIndex];
    r.left = std::clamp(r.left, screen.left, screen.right);
    r.right = std::clamp(r.right, screen.left, screen.right);
    r.top = std::clamp(r.top, screen.top, screen.bottom);
    r.bottom = std::clamp(r.bottom, screen.top, screen.bottom);
    if (r.width() < 1 || r.height() < 1) {
        error = "no desktop-attached output found";
        return false;
    }
    output = r;
    return true;
}

}  // namespace vel::host
