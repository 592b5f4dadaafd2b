#include "media/jitter_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vel::media {
namespace {

constexpr std::int64_t kMs = 1000;

AudioBlock blockOf(std::int16_t value) {
    AudioBlock block;
    block.fill(value);
    return block;
}

// Plays one block's worth of frames; the value all of them carried, or -1 when they differed.
int playBlock(JitterBuffer& buffer, std::int64_t nowUs) {
    const StereoFrame first = buffer.pop(nowUs);
    for (std::size_t f = 1; f < kBlockFrames; ++f) {
        const StereoFrame frame = buffer.pop(nowUs);
        if (frame.left != first.left || frame.right != first.left) return -1;
    }
    return first.left;
}

// Pushes blocks whose sample value is their sequence number.
void push(JitterBuffer& buffer, std::initializer_list<std::uint32_t> sequences) {
    for (std::uint32_t s : sequences) buffer.push(s, blockOf(static_cast<std::int16_t>(s)));
}

std::vector<int> play(JitterBuffer& buffer, int blocks, std::int64_t nowUs = 0) {
    std::vector<int> out;
    for (int i = 0; i < blocks; ++i) out.push_back(playBlock(buffer, nowUs));
    return out;
}

TEST(JitterBufferTest, PrimesToTargetThenPlaysInSequenceOrderAcrossTheWrap) {
    JitterBuffer buffer;
    push(buffer, {10, 12});
    EXPECT_EQ(play(buffer, 1), std::vector<int>{0}) << "two blocks are below the target of 3";
    push(buffer, {13, 11, 11});  // early arrivals reordered; the duplicate 11 dropped
    EXPECT_EQ(play(buffer, 4), (std::vector<int>{10, 11, 12, 13}));

    // Sequence numbers wrap around.
    JitterBuffer wrapping;
    wrapping.push(0xFFFFFFFEu, blockOf(1));
    wrapping.push(0u, blockOf(3));
    wrapping.push(0xFFFFFFFFu, blockOf(2));
    EXPECT_EQ(play(wrapping, 3), (std::vector<int>{1, 2, 3}));
}

TEST(JitterBufferTest, LateBlocksAreDroppedAndALostBlockPlaysSilence) {
    JitterBuffer buffer;
    push(buffer, {1, 2, 3, 5, 6});
    EXPECT_EQ(play(buffer, 2), (std::vector<int>{1, 2}));
    push(buffer, {1});  // already played
    EXPECT_EQ(play(buffer, 1), std::vector<int>{3});
    EXPECT_EQ(play(buffer, 1), std::vector<int>{0}) << "4 never came: 10 ms of silence";
    push(buffer, {4});  // arrives after its slot
    EXPECT_EQ(play(buffer, 2), (std::vector<int>{5, 6}));
    EXPECT_EQ(buffer.stats().underruns, 0u) << "a gap with blocks queued is not an underrun";
}

TEST(JitterBufferTest, BurstBeyondTwiceTheTargetDropsTheOldest) {
    JitterBuffer buffer;
    for (std::uint32_t s = 100; s < 110; ++s) push(buffer, {s});
    EXPECT_EQ(buffer.stats().overflowDrops, 0u) << "target 3 holds floor(2 * 3 + 4) = 10 blocks";
    push(buffer, {110, 111});
    EXPECT_EQ(buffer.stats().overflowDrops, 2u);
    push(buffer, {101});  // the dropped block is late now
    EXPECT_EQ(play(buffer, 2), (std::vector<int>{102, 103}));
}

TEST(JitterBufferTest, UnderrunsRaiseTheTargetAtMostOncePer200Ms) {
    JitterBuffer buffer;
    push(buffer, {1, 2, 3});
    EXPECT_EQ(play(buffer, 3, 1000 * kMs), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(playBlock(buffer, 1000 * kMs), 0);
    JitterStats stats = buffer.stats();
    EXPECT_EQ(stats.underruns, 1u);
    EXPECT_DOUBLE_EQ(stats.target, 4.0);

    // Priming again: four blocks are needed now.
    push(buffer, {5, 6, 7});
    EXPECT_EQ(play(buffer, 1, 1100 * kMs), std::vector<int>{0});
    push(buffer, {8});
    EXPECT_EQ(play(buffer, 4, 1100 * kMs), (std::vector<int>{5, 6, 7, 8}));
    // A second underrun 100 ms after the raise is counted but does not raise again.
    EXPECT_EQ(playBlock(buffer, 1100 * kMs), 0);
    stats = buffer.stats();
    EXPECT_EQ(stats.underruns, 2u);
    EXPECT_DOUBLE_EQ(stats.target, 4.0);
}

TEST(JitterBufferTest, TargetGrowsToTwentyAndShrinksSlowlyAfterFiveQuietSeconds) {
    JitterBuffer buffer;
    std::uint32_t sequence = 0;
    std::int64_t now = 0;
    for (int i = 0; i < 30; ++i) {
        now += 201 * kMs;
        const int depth = static_cast<int>(std::ceil(buffer.stats().target));
        for (int b = 0; b < depth; ++b) push(buffer, {sequence++});
        play(buffer, depth + 1, now);  // the last one underruns
        sequence++;
    }
    EXPECT_DOUBLE_EQ(buffer.stats().target, 20.0) << "raised by every underrun 201 ms apart";

    const std::int64_t lastRaise = now;
    // Within 5 s of the last raise the target holds.
    push(buffer, {sequence, sequence + 1});
    sequence += 2;
    for (int i = 0; i < 18; ++i) push(buffer, {sequence++});
    play(buffer, 1, lastRaise + 5000 * kMs);
    EXPECT_DOUBLE_EQ(buffer.stats().target, 20.0);
    // After it, each played block takes 0.002 off.
    play(buffer, 10, lastRaise + 5000 * kMs + 1);
    EXPECT_NEAR(buffer.stats().target, 20.0 - 10 * 0.002, 1e-9);
}

TEST(JitterBufferTest, ShrinkingStopsAtTwoBlocks) {
    JitterBuffer buffer;
    std::uint32_t sequence = 0;
    const std::int64_t later = 6000 * kMs;
    for (int i = 0; i < 600; ++i) {
        push(buffer, {sequence++});
        if (i >= 2) play(buffer, 1, later);
    }
    EXPECT_DOUBLE_EQ(buffer.stats().target, 2.0);
    EXPECT_EQ(buffer.stats().underruns, 0u);
}

}  // namespace
}  // namespace vel::media
