#include "host/encoder_bench.h"

#include <gtest/gtest.h>

#include "host/bench_pattern.h"

namespace vel::host {
namespace {

TEST(EncoderBench, MeasuresASoftwareEncoderWithoutLosingFrames) {
    EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.speed = 2;
    config.backend = EncoderBackend::MfSw;
    const auto frames = makeBenchFrames(320, 240);
    const BenchResult result = benchOne(config, frames, 5, 20);
    EXPECT_EQ(result.reason, "");
    EXPECT_EQ(result.encoder, "libx264");
    EXPECT_EQ(result.heldBack, 0);
    EXPECT_EQ(result.throughputFrames, 20u) << "the bench must not lose frames to the queue";
    EXPECT_GT(result.mbps, 0);
}

}  // namespace
}  // namespace vel::host
