#include "host/stream_profile.h"

#include <algorithm>
#include <cmath>

namespace vel::host {
namespace {

std::uint32_t evenAtLeastTwo(double value) {
    const auto whole = static_cast<std::uint32_t>(std::max(0.0, std::floor(value)));
    return std::max<std::uint32_t>(2, whole & ~1u);
}

}  // namespace

StreamProfile profileForBias(int bias, const ProfileCaps& caps, const ProfileScreen& screen) {
    StreamProfile p;
    const int b = std::clamp(bias, 0, 100);
    const bool lower = b <= 50;
    const double x = lower ? b / 50.0 : (b - 50) / 50.0;
    p.bias = static_cast<std::uint32_t>(b);

    double maxBitrate = lower ? (4 + 16 * x) * 1e6 : (20 + 30 * x) * 1e6;
    if (caps.maxBitrate > 0) maxBitrate = std::min(maxBitrate, static_cast<double>(caps.maxBitrate));
    const double minBitrate =
        std::min(lower ? 300000 + 700000 * x : 1e6 + 1e6 * x, maxBitrate);
    p.maxBitrate = static_cast<std::uint32_t>(std::lround(maxBitrate));
    p.minBitrate = static_cast<std::uint32_t>(std::lround(minBitrate));
    p.startBitrate = std::max(p.maxBitrate / 3, p.minBitrate);

    double targetWidth = 1920, targetHeight = 1080;
    if (b < 35) targetWidth = 1280, targetHeight = 720;
    if (b >= 80) {
        if (screen.nativeRequested)
            targetWidth = screen.captureWidth, targetHeight = screen.captureHeight;
        else if (b >= 95)
            targetWidth = 1280, targetHeight = 720;
    }
    const double captureWidth = std::max<std::uint32_t>(screen.captureWidth, 2);
    const double captureHeight = std::max<std::uint32_t>(screen.captureHeight, 2);
    // An unknown viewer screen limits nothing; a tiny one counts as 640 x 360.
    const double viewerWidth =
        screen.viewerWidth == 0 ? targetWidth : std::max<std::uint32_t>(screen.viewerWidth, 640);
    const double viewerHeight = screen.viewerHeight == 0
                                    ? targetHeight
                                    : std::max<std::uint32_t>(screen.viewerHeight, 360);
    const double s = std::min({1.0, std::min(viewerWidth, targetWidth) / captureWidth,
                               std::min(viewerHeight, targetHeight) / captureHeight});
    p.width = evenAtLeastTwo(captureWidth * s);
    p.height = evenAtLeastTwo(captureHeight * s);

    std::uint32_t fps = screen.refresh == 0 ? 60 : std::min<std::uint32_t>(screen.refresh, 120);
    if (caps.maxFps > 0) fps = std::min(fps, caps.maxFps);
    if (b < 15 || (b >= 85 && !screen.nativeRequested)) fps = std::min<std::uint32_t>(fps, 30);
    p.fps = std::max<std::uint32_t>(fps, 15);

    p.codec = b < 50 && screen.hevcEncodable && screen.viewerDecodesHevc ? 2 : 1;
    p.tier = b < 30 ? 0 : b < 70 ? 1 : 2;
    p.highBiasNative = b >= 70 && screen.nativeRequested;
    p.fecMin = lower ? 0.2 - 0.1 * x : 0.1 - 0.05 * x;
    p.fecMax = lower ? 0.4 - 0.2 * (b / 50.0) : 0.2 - 0.1 * ((b - 50) / 50.0);
    p.belowTop = b < 85;
    p.latencyBudget =
        static_cast<std::uint32_t>(std::lround(lower ? 150000 - 70000 * x : 80000 - 20000 * x));
    return p;
}

}  // namespace vel::host
