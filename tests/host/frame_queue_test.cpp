#include "host/frame_queue.h"

#include <gtest/gtest.h>

#include <thread>

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

TEST(FrameQueue, TakeWaitsForAFrameAndStopDiscardsAndWakes) {
    FrameQueue queue;
    std::optional<EncodeJob> taken;
    std::thread consumer([&] { taken = queue.take(); });
    queue.push(job(7));
    consumer.join();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->timestampUs, 7);

    queue.push(job(8));
    queue.stop();
    EXPECT_EQ(queue.size(), 0);
    EXPECT_FALSE(queue.take()) << "a stopped queue hands out nothing, not even what it held";
    std::thread waiter([&] { taken = queue.take(); });
    waiter.join();
    EXPECT_FALSE(taken);
}

TEST(FrameQueue, LatencySaturatesAtThirtyTwoBits) {
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(elapsedUs32(now + std::chrono::seconds(5)), 0u);
    EXPECT_EQ(elapsedUs32(now - std::chrono::hours(2)), 0xFFFFFFFFu);
    EXPECT_GE(elapsedUs32(now - std::chrono::milliseconds(3)), 3000u);
}

}  // namespace
}  // namespace vel::host
