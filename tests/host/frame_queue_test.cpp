#include "host/frame_queue.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vel::host {
namespace {

EncodeJob job(std::int64_t timestamp) {
    return {{std::uint8_t(timestamp)}, timestamp, false, {}};
}

// Keeping the two newest is shown by the encoder's stalled-consumer test.
TEST(FrameQueue, AForcedKeyframeSurvivesTheDropOfTheFrameThatAskedForItOnce) {
    FrameQueue queue;
    EncodeJob forced = job(6);
    forced.forceKeyframe = true;
    queue.push(std::move(forced));
    for (std::int64_t t = 7; t <= 9; ++t) queue.push(job(t));
    EXPECT_EQ(queue.dropped(), 2u);
    const std::optional<EncodeJob> first = queue.take();
    EXPECT_EQ(first->timestampUs, 8);
    EXPECT_TRUE(first->forceKeyframe);
    EXPECT_FALSE(queue.take()->forceKeyframe);
}

// Waiting and waking are exercised by every encoder test; this is what stop does to held frames.
TEST(FrameQueue, AStoppedQueueHandsOutNothingNotEvenWhatItHeld) {
    FrameQueue queue;
    queue.push(job(8));
    queue.stop();
    EXPECT_EQ(queue.size(), 0);
    EXPECT_FALSE(queue.take());
}

TEST(FrameQueue, LatencySaturatesAtThirtyTwoBits) {
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(elapsedUs32(now + std::chrono::seconds(5)), 0u);
    EXPECT_EQ(elapsedUs32(now - std::chrono::hours(2)), 0xFFFFFFFFu);
    EXPECT_GE(elapsedUs32(now - std::chrono::milliseconds(3)), 3000u);
}

}  // namespace
}  // namespace vel::host
