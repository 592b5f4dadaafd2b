#include "host/encoder_bench.h"

#include <gtest/gtest.h>

#include "host/bench_pattern.h"

namespace vel::host {
namespace {

// The pattern without speckles, straight from its definition.
int plainLuma(int f, int x, int y, int w, int h) {
    const int t = ((3 * f + x) * 255 / w + y * 255 / h) / 2;
    const bool same = ((y + 5 * f) / 64) % 2 == ((x + 11 * f) / 64) % 2;
    return 16 + (same ? t : 255 - t) * 219 / 255;
}

TEST(BenchPattern, GradientCheckerboardWithSpeckles) {
    constexpr int w = 320;
    constexpr int h = 240;
    const auto frames = makeBenchFrames(w, h, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(makeBenchFrames(w, h, 3), frames) << "the pattern is deterministic";
    for (int f = 0; f < 3; ++f) {
        const auto& frame = frames[std::size_t(f)];
        ASSERT_EQ(frame.size(), std::size_t(w) * h * 3 / 2);
        int speckled = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                speckled += frame[std::size_t(y) * w + x] != plainLuma(f, x, y, w, h);
            }
        }
        // w x h / 50 speckles, a few landing twice or on their own value.
        EXPECT_LE(speckled, w * h / 50);
        EXPECT_GT(speckled, w * h / 60);
        const std::uint8_t* uv = frame.data() + std::size_t(w) * h;
        EXPECT_EQ(uv[0], 64 + ((7 * f) * 128 / w & 255));
        EXPECT_EQ(uv[1], 64);
        EXPECT_EQ(uv[std::size_t(h / 2 - 1) * w + 1], 64 + (h / 2 - 1) * 128 / (h / 2));
    }
    // The generator runs on: the second frame's speckles are not the first frame's.
    EXPECT_NE(frames[0], frames[1]);
}

TEST(EncoderBench, PercentilePicksFloorOfNTimesP) {
    EXPECT_EQ(percentile({}, 0.95), 0);
    EXPECT_EQ(percentile({5}, 0.95), 5);
    EXPECT_EQ(percentile({4, 1, 3, 2}, 0.5), 3);
    EXPECT_EQ(percentile({4, 1, 3, 2}, 1.0), 4);
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    EXPECT_EQ(percentile(hundred, 0.95), 96);
}

TEST(EncoderBench, MeasuresASoftwareEncoderAndReportsASelectionFailure) {
    EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.speed = 2;
    config.backend = EncoderBackend::MfSw;
    const auto frames = makeBenchFrames(320, 240);
    BenchResult result = benchOne(config, frames, 5, 20);
    EXPECT_EQ(result.reason, "");
    EXPECT_EQ(result.encoder, "libx264");
    EXPECT_EQ(result.heldBack, 0);
    EXPECT_EQ(result.throughputFrames, 20u) << "the bench must not lose frames to the queue";
    EXPECT_GT(result.fps, 0);
    EXPECT_GT(result.mbps, 0);

    config.allowHardware = false;
    config.hardwareOnly = true;
    config.backend = EncoderBackend::Auto;
    result = benchOne(config, frames, 5, 20);
    EXPECT_EQ(result.reason, "no encoder backend is allowed by the configuration");
    EXPECT_EQ(result.throughputFrames, 0u);
}

}  // namespace
}  // namespace vel::host
