#include "stream/frame_sender.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream/frame_assembler.h"

namespace vel::stream {
namespace {

using Bodies = std::vector<std::vector<std::uint8_t>>;

Bodies sendFrame(FrameSender& sender, const std::vector<std::uint8_t>& frame, double ratio,
                 const VideoFrameInfo& info = {}) {
    Bodies bodies;
    EXPECT_TRUE(sender.send(frame, info, ratio, [&](std::span<const std::uint8_t> body) {
        bodies.emplace_back(body.begin(), body.end());
    }));
    return bodies;
}

FrameShard shardOf(const std::vector<std::uint8_t>& body) {
    VideoFragmentHeader h;
    std::span<const std::uint8_t> data;
    EXPECT_TRUE(decodeVideoFragment(body, h, data));
    FrameShard s;
    s.frameId = h.frameId;
    s.flags = h.flags;
    s.codec = h.codec;
    s.blockIndex = h.blockIndex;
    s.blockCount = h.blockCount;
    s.shardIndex = h.shardIndex;
    s.dataShards = h.dataShards;
    s.parityShards = h.parityShards;
    s.frameSize = h.frameSize;
    s.blockSize = h.blockSize;
    s.shardSize = h.shardSize;
    s.captureTimestamp = h.captureTimestamp;
    s.encodeDuration = h.encodeDuration;
    s.data = data;
    return s;
}

std::vector<std::uint8_t> frameOf(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> frame(size);
    for (std::size_t i = 0; i < size; ++i) frame[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return frame;
}

TEST(FrameSender, OneShardFrameWithParityRebuildsFromEitherShard) {
    FrameSender sender;
    const auto frame = frameOf(1130, 1);
    VideoFrameInfo info;
    info.keyframe = true;
    info.codec = 2;
    info.captureTimestamp = 99;
    info.encodeMicros = 12345;
    const Bodies bodies = sendFrame(sender, frame, 0.1, info);
    ASSERT_EQ(bodies.size(), 2u);
    for (std::size_t lost = 0; lost < 2; ++lost) {
        FrameAssembler assembler;
        std::vector<AssembledFrame> ready;
        assembler.add(shardOf(bodies[1 - lost]), 0, ready);
        ASSERT_EQ(ready.size(), 1u) << lost;
        EXPECT_EQ(ready[0].data, frame);
        EXPECT_EQ(ready[0].flags & kFragmentKeyframe, kFragmentKeyframe);
        EXPECT_EQ(ready[0].codec, 2);
        EXPECT_EQ(ready[0].captureTimestamp, 99u);
        EXPECT_EQ(ready[0].encodeDuration, 1234);
    }
    EXPECT_FALSE(sender.send({}, {}, 0.1, [](auto) {}));
    EXPECT_FALSE(
        sender.send(std::vector<std::uint8_t>(kFecMaxFrameBytes + 1), {}, 0.1, [](auto) {}));
}

TEST(FrameSender, LargeFrameSurvivesLossOfAnyParityCountPerBlock) {
    FrameSender sender;
    const auto frame = frameOf(200000, 7);
    const Bodies bodies = sendFrame(sender, frame, 0.2);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    // Drop the first m shards of every block: only data shards are lost, parity replaces them.
    for (const auto& body : bodies) {
        const FrameShard shard = shardOf(body);
        EXPECT_EQ(shard.frameId, 0u);
        if (shard.shardIndex < shard.parityShards) continue;
        assembler.add(shard, 0, ready);
    }
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].data, frame);
    EXPECT_EQ(shardOf(sendFrame(sender, frame, 0.2).front()).frameId, 1u);
}

TEST(FrameSender, RepairsRequestedShardsWithinTheBudgetOfEachWindow) {
    FrameSender sender;
    const Bodies bodies = sendFrame(sender, frameOf(40 * 1130, 3), 0);
    ASSERT_EQ(bodies.size(), 40u);
    std::vector<std::uint8_t> pairs;
    for (std::uint8_t shard = 0; shard < 40; ++shard) pairs.insert(pairs.end(), {0, shard});
    pairs.insert(pairs.begin(), {5, 0, 0, 200});  // no such block, no such shard

    std::vector<std::uint8_t> shardIndices;
    const auto collect = [&](std::span<const std::uint8_t> body) {
        const FrameShard shard = shardOf({body.begin(), body.end()});
        EXPECT_NE(shard.flags & kFragmentRetransmission, 0);
        shardIndices.push_back(shard.shardIndex);
    };
    // At a low rate the floor of 16000 bytes per 100 ms holds: 13 fragments of 1168 bytes.
    EXPECT_EQ(sender.repair(0, pairs, 1000000, 0, collect), 13u);
    EXPECT_EQ(shardIndices.front(), 0);
    EXPECT_EQ(shardIndices.back(), 12);
    EXPECT_EQ(sender.repair(0, pairs, 1000000, 100000, collect), 0u);
    EXPECT_EQ(sender.repair(0, pairs, 1000000, 100001, collect), 13u);
    // At 100 Mbit/s the budget is 187500 bytes: all 40.
    EXPECT_EQ(sender.repair(0, pairs, 100000000, 300000, collect), 40u);
    EXPECT_EQ(sender.repair(9, pairs, 100000000, 500000, collect), 0u);  // never sent
}

}  // namespace
}  // namespace vel::stream
