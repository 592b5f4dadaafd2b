#include "host/stream_profile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace vel::host {
namespace {

ProfileScreen hevcEverywhere() {
    ProfileScreen screen;  // a 1920x1080 capture, viewer unknown
    screen.hevcEncodable = true;
    screen.viewerDecodesHevc = true;
    return screen;
}

// The figures a profile is judged by, in one line for comparing.
std::string figures(const StreamProfile& p) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%u..%u start %u, %ux%u@%u, codec %u, tier %u, FEC %.2f..%.2f, budget %u",
                  p.minBitrate, p.maxBitrate, p.startBitrate, p.width, p.height, p.fps, p.codec,
                  p.tier, p.fecMin, p.fecMax, p.latencyBudget);
    return text;
}

TEST(StreamProfile, MiddleAndBottomBiasGiveTheDesignedFigures) {
    // HEVC only below 50; a third of the ceiling to start with.
    EXPECT_EQ(figures(profileForBias(50, {}, hevcEverywhere())),
              "1000000..20000000 start 6666666, 1920x1080@60, codec 1, tier 1, FEC 0.10..0.20, "
              "budget 80000");
    EXPECT_EQ(figures(profileForBias(0, {}, hevcEverywhere())),
              "300000..4000000 start 1333333, 1280x720@30, codec 2, tier 0, FEC 0.20..0.40, budget "
              "150000");

    // HEVC needs both ends; clamped biases behave as 0 and 100.
    ProfileScreen noDecoder = hevcEverywhere();
    noDecoder.viewerDecodesHevc = false;
    EXPECT_EQ(profileForBias(0, {}, noDecoder).codec, 1u);
    EXPECT_EQ(profileForBias(-20, {}, hevcEverywhere()).maxBitrate, 4'000'000u);
    EXPECT_EQ(profileForBias(180, {}, hevcEverywhere()).bias, 100u);
}

TEST(StreamProfile, BitrateCapLimitsEveryProfileAndMinimumFollowsIt) {
    const ProfileCaps caps{0, 3'000'000};
    for (int bias = 0; bias <= 100; bias += 5) {
        const StreamProfile p = profileForBias(bias, caps, hevcEverywhere());
        EXPECT_EQ(p.maxBitrate, 3'000'000u) << bias;
        EXPECT_LE(p.minBitrate, p.maxBitrate) << bias;
        EXPECT_GE(p.startBitrate, p.minBitrate) << bias;
    }
    // Above the middle the minimum (1..2 Mbit/s) stays below the cap; at 100 it is 2 Mbit/s.
    EXPECT_EQ(profileForBias(100, caps, hevcEverywhere()).minBitrate, 2'000'000u);
}

TEST(StreamProfile, SizeFollowsViewerAndNativeRequestAndFrameRateItsLimits) {
    ProfileScreen screen = hevcEverywhere();
    screen.captureWidth = 2560;
    screen.captureHeight = 1440;
    // The capture scaled by one factor into the viewer's 1366x768: 1364x768 after evening.
    screen.viewerWidth = 1366;
    screen.viewerHeight = 768;
    StreamProfile p = profileForBias(60, {}, screen);
    EXPECT_EQ(p.width, 1364u);
    EXPECT_EQ(p.height, 768u);
    // A tiny viewer counts as 640x360.
    screen.viewerWidth = 100;
    screen.viewerHeight = 100;
    p = profileForBias(60, {}, screen);
    EXPECT_EQ(p.width, 640u);
    EXPECT_EQ(p.height, 360u);

    // Native size at the top of the range: the whole capture, at the viewer's refresh.
    screen.viewerWidth = 2560;
    screen.viewerHeight = 1440;
    screen.refresh = 144;
    screen.nativeRequested = true;
    p = profileForBias(90, {}, screen);
    EXPECT_EQ(p.width, 2560u);
    EXPECT_EQ(p.height, 1440u);
    EXPECT_EQ(p.fps, 120u);
    EXPECT_TRUE(p.highBiasNative);
    // Without it, 1280x720-class picture from 95 on and at most 30 fps from 85.
    screen.nativeRequested = false;
    p = profileForBias(95, {}, screen);
    EXPECT_EQ(p.height, 720u);
    EXPECT_EQ(p.fps, 30u);
    // A cap below 15 is raised to the floor of 15.
    EXPECT_EQ(profileForBias(50, ProfileCaps{10, 0}, screen).fps, 15u);
}

}  // namespace
}  // namespace vel::host
