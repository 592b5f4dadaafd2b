#include "host/jitter_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vel::host {
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

TEST(JitterBufferTest, PrimesToTargetThenPlaysInSequenceOrder) {
    JitterBuffer buffer;
    push(buffer, {10, 12});
    EXPECT_EQ(play(buffer, 1), std::vector<int>{0}) << "two blocks are below the target of 3";
    push(buffer, {13, 11, 11});  // early arrivals reordered; the duplicate 11 dropped
    EXPECT_EQ(play(buffer, 4), (std::vector<int>{10, 11, 12, 13}));
    EXPECT_EQ(buffer.stats().played, 4u);
    EXPECT_EQ(buffer.stats().queued, 0u);
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
    const JitterStats stats = buffer.stats();
    EXPECT_EQ(stats.played, 5u);
    EXPECT_EQ(stats.underruns, 0u) << "a gap with blocks queued is not an underrun";
    EXPECT_EQ(stats.queued, 0u);
}

TEST(JitterBufferTest, BurstBeyondTwiceTheTargetDropsTheOldest) {
    JitterBuffer buffer;
    for (std::uint32_t s = 100; s < 110; ++s) push(buffer, {s});
    EXPECT_EQ(buffer.stats().overflowDrops, 0u) << "target 3 holds floor(2 * 3 + 4) = 10 blocks";
    push(buffer, {110, 111});
    EXPECT_EQ(buffer.stats().overflowDrops, 2u);
    EXPECT_EQ(buffer.stats().queued, 10u);
    push(buffer, {101});  // the dropped block is late now
    EXPECT_EQ(play(buffer, 2), (std::vector<int>{102, 103}));
}

TEST(JitterBufferTest, SequenceNumbersWrapAround) {
    JitterBuffer buffer;
    buffer.push(0xFFFFFFFEu, blockOf(1));
    buffer.push(0u, blockOf(3));
    buffer.push(0xFFFFFFFFu, blockOf(2));
    EXPECT_EQ(play(buffer, 3), (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace vel::host
