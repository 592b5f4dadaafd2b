#pragma once

#include <cstdint>

namespace vel::host {

// What the encoder and the session are set up with for one quality bias.
struct StreamProfile {
    std::uint32_t bias = 50;  // 0..100
    std::uint32_t minBitrate = 0;
    std::uint32_t maxBitrate = 0;
    std::uint32_t startBitrate = 0;
    std::uint32_t width = 0;  // even, at least 2
    std::uint32_t height = 0;
    std::uint32_t fps = 0;    // at least 15
    std::uint32_t codec = 1;  // VideoCodec: 1 H.264, 2 HEVC
    std::uint32_t tier = 1;   // encoder speed: 0 best quality .. 2 fastest
    bool highBiasNative = false;
    double fecMin = 0;
    double fecMax = 0;
    bool belowTop = false;
    std::uint32_t latencyBudget = 0;  // microseconds
};

// The host's and the viewer's limits; 0 is none.
struct ProfileCaps {
    std::uint32_t maxFps = 0;
    std::uint64_t maxBitrate = 0;
};

// What the profile is fitted to.
struct ProfileScreen {
    std::uint32_t captureWidth = 1920;
    std::uint32_t captureHeight = 1080;
    std::uint32_t viewerWidth = 0;  // 0 while the viewer has not said
    std::uint32_t viewerHeight = 0;
    std::uint32_t refresh = 0;  // 0: unknown
    bool hevcEncodable = false;
    bool viewerDecodesHevc = false;
    bool nativeRequested = false;
};

// The lower half (bias 0..50) trades picture for latency and bandwidth, the upper half spends
// bandwidth on picture; the result never exceeds the capture or the viewer's screen.
StreamProfile profileForBias(int bias, const ProfileCaps& caps, const ProfileScreen& screen);

}  // namespace vel::host
