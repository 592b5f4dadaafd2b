#include "host/stream_profile.h"

#include <gtest/gtest.h>

namespace vel::host {
namespace {

ProfileScreen hevcEverywhere() {
    ProfileScreen screen;  // a 1920x1080 capture, viewer unknown
    screen.hevcEncodable = true;
    screen.viewerDecodesHevc = true;
    return screen;
}

TEST(StreamProfile, MiddleAndBottomBiasGiveTheDesignedFigures) {
    const StreamProfile middle = profileForBias(50, {}, hevcEverywhere());
    EXPECT_EQ(middle.maxBitrate, 20'000'000u);
    EXPECT_EQ(middle.minBitrate, 1'000'000u);
    EXPECT_EQ(middle.startBitrate, 20'000'000u / 3);
    EXPECT_EQ(middle.width, 1920u);
    EXPECT_EQ(middle.height, 1080u);
    EXPECT_EQ(middle.fps, 60u);
    EXPECT_EQ(middle.codec, 1u) << "HEVC only below 50";
    EXPECT_DOUBLE_EQ(middle.fecMin, 0.1);
    EXPECT_DOUBLE_EQ(middle.fecMax, 0.2);
    EXPECT_EQ(middle.tier, 1u);

    const StreamProfile bottom = profileForBias(0, {}, hevcEverywhere());
    EXPECT_EQ(bottom.maxBitrate, 4'000'000u);
    EXPECT_EQ(bottom.minBitrate, 300'000u);
    EXPECT_EQ(bottom.startBitrate, 4'000'000u / 3);
    EXPECT_EQ(bottom.width, 1280u);
    EXPECT_EQ(bottom.height, 720u);
    EXPECT_EQ(bottom.fps, 30u);
    EXPECT_EQ(bottom.codec, 2u);
    EXPECT_DOUBLE_EQ(bottom.fecMin, 0.2);
    EXPECT_DOUBLE_EQ(bottom.fecMax, 0.4);
    EXPECT_EQ(bottom.tier, 0u);
    EXPECT_EQ(bottom.latencyBudget, 150000u);

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
