#include "host/display_mode.h"

#include <cmath>
#include <cstdio>

#include "os/log.h"

namespace vel::host {
namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

}  // namespace

std::string displayChangeText(long result) {
    switch (result) {
        case 0:
            return "ok";
        case 1:
            return "restart required";
        case -1:
            return "driver failed";
        case -2:
            return "mode not supported";
        case -3:
            return "registry not updated";
        case -4:
            return "bad flags";
        case -5:
            return "bad parameter";
        case -6:
            return "dual view";
        default:
            return "unknown result";
    }
}

std::optional<DisplayMode> chooseDisplayMode(const std::vector<DisplayMode>& modes, int viewerWidth,
                                             int viewerHeight) {
    const double viewerAspect = static_cast<double>(viewerWidth) / viewerHeight;
    std::optional<DisplayMode> best;
    int bestScore = -1;
    auto area = [](const DisplayMode& m) { return std::uint64_t{m.width} * m.height; };
    for (const DisplayMode& m : modes) {
        if (m.bitsPerPixel != 32 || m.width > static_cast<std::uint32_t>(viewerWidth) ||
            m.height > static_cast<std::uint32_t>(viewerHeight) || m.width < 640 || m.height < 480)
            continue;
        int score = 0;
        if (m.width == static_cast<std::uint32_t>(viewerWidth) &&
            m.height == static_cast<std::uint32_t>(viewerHeight))
            score = 2;
        else if (std::fabs(static_cast<double>(m.width) / m.height - viewerAspect) <=
                 0.02 * viewerAspect)
            score = 1;
        const bool better =
            !best || score > bestScore ||
            (score == bestScore &&
             (area(m) > area(*best) || (area(m) == area(*best) && m.refreshHz > best->refreshHz)));
        if (better) {
            best = m;
            bestScore = score;
        }
    }
    return best;
}

DisplayModeAdapter::DisplayModeAdapter(std::unique_ptr<DisplaySystem> system)
    : system_(std::move(system)) {}

DisplayModeAdapter::~DisplayModeAdapter() { restore(); }

std::string DisplayModeAdapter::apply(int viewerWidth, int viewerHeight, bool apply) {
    if (!apply) {
        restore();
        return {};
    }
    std::lock_guard lock(mutex_);
    bool changedNow = false, matched = false;
    std::string text;
    [&] {
        if (viewerWidth < 320 || viewerHeight < 200) {
            text = "viewer screen size not usable";
            return;
        }
        const std::string output = system_->primaryOutput();
        if (output.empty()) {
            text = "no primary display";
            return;
        }
        DisplayMode current;
        if (!system_->currentMode(output, current)) {
            text = "current mode unknown";
            return;
        }
        if (current.width == static_cast<std::uint32_t>(viewerWidth) &&
            current.height == static_cast<std::uint32_t>(viewerHeight)) {
            text = format("already %dx%d", viewerWidth, viewerHeight);
            matched = true;
            return;
        }
        const std::optional<DisplayMode> best =
            chooseDisplayMode(system_->modes(output), viewerWidth, viewerHeight);
        if (!best) {
            text = format("no mode fits %dx%d", viewerWidth, viewerHeight);
            return;
        }
        if (best->width == current.width && best->height == current.height) {
            text = format("kept %lux%lu: nothing closer to %dx%d",
                          static_cast<unsigned long>(current.width),
                          static_cast<unsigned long>(current.height), viewerWidth, viewerHeight);
            return;
        }
        const long result = system_->setMode(output, *best);
        text = format(
            "%lux%lu -> %lux%lu@%lu for a %dx%d viewer: %s",
            static_cast<unsigned long>(current.width), static_cast<unsigned long>(current.height),
            static_cast<unsigned long>(best->width), static_cast<unsigned long>(best->height),
            static_cast<unsigned long>(best->refreshHz), viewerWidth, viewerHeight,
            displayChangeText(result).c_str());
        if (result == 0) {
            changedNow = true;
            // Only the first change records what to go back to.
            if (!changed_) {
                original_ = current;
                output_ = output;
            }
            changed_ = true;
        }
    }();
    Log(LogLevel::Info, "display mode for the viewer: %s%s", text.c_str(),
        changedNow || matched ? "" : " (unchanged)");
    return text;
}

void DisplayModeAdapter::restore() {
    std::lock_guard lock(mutex_);
    if (!changed_) return;
    const long result = system_->setMode(output_, original_);
    Log(LogLevel::Info, "display mode restored: %s", displayChangeText(result).c_str());
    changed_ = false;
}

}  // namespace vel::host
