// Both ends of video: FrameSender fragments and protects frames, FrameAssembler rebuilds them.
#include <gtest/gtest.h>

#include <random>

#include "stream/frame_assembler.h"
#include "stream/frame_sender.h"

namespace vel::stream {
namespace {

using Body = std::vector<std::uint8_t>;

FrameShard shardOf(const Body& body) {
    VideoFragmentHeader h;
    std::span<const std::uint8_t> data;
    EXPECT_TRUE(decodeVideoFragment(body, h, data));
    return {h.frameId,        h.flags,      h.codec,      h.blockIndex,
            h.blockCount,     h.shardIndex, h.dataShards, h.parityShards,
            h.frameSize,      h.blockSize,  h.shardSize,  h.captureTimestamp,
            h.encodeDuration, data};
}

// The fragments of one frame as the sender emitted them; the shards view the bodies.
struct Sent {
    std::vector<Body> bodies;
    std::vector<FrameShard> shards;
};

// Both ends, the random frame contents, and what the assembler hands out.
class Fragments : public ::testing::Test {
  protected:
    Sent send(const Body& frame, double ratio, const VideoFrameInfo& info = {}) {
        Sent sent;
        EXPECT_TRUE(sender.send(frame, info, ratio, [&](std::span<const std::uint8_t> body) {
            sent.bodies.emplace_back(body.begin(), body.end());
        }));
        for (const Body& body : sent.bodies) sent.shards.push_back(shardOf(body));
        return sent;
    }
    Body randomFrame(std::size_t size) {
        Body frame(size);
        for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
        return frame;
    }

    std::mt19937 rng{11};
    FrameSender sender;
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    std::vector<NackRequest> nacks;
};

TEST_F(Fragments, RebuildsFramesFromAnyKShardsPerBlock) {
    for (std::uint32_t id = 0; const std::size_t size : {1u, 1130u, 1131u, 54241u, 300000u}) {
        const Body frame = randomFrame(size);
        VideoFrameInfo info;
        info.keyframe = id == 0;
        info.codec = 2;
        info.captureTimestamp = 1000u + id;
        info.encodeMicros = 12345;
        Sent sent = send(frame, 0.25, info);
        // Lose up to m shards of every block, the rest arriving in any order.
        std::shuffle(sent.shards.begin(), sent.shards.end(), rng);
        for (const FrameShard& s : sent.shards) {
            if (s.shardIndex >= s.parityShards || (rng() & 1)) assembler.add(s, 1000, ready);
        }
        ASSERT_EQ(ready.size(), 1u) << size;
        EXPECT_EQ(ready[0].frameId, id);
        EXPECT_EQ(ready[0].data, frame);
        EXPECT_EQ(ready[0].flags, id == 0 ? kFragmentKeyframe : 0);
        EXPECT_EQ(ready[0].codec, 2);
        EXPECT_EQ(ready[0].captureTimestamp, 1000u + id);
        EXPECT_EQ(ready[0].encodeDuration, 1234);
        ready.clear();
        ++id;
    }
    EXPECT_GT(assembler.counters().recoveredBlocks, 0u);
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
    EXPECT_FALSE(sender.send({}, {}, 0.1, [](auto) {}));
}

TEST_F(Fragments, AsksForExactlyTheMissingShardsInThreeRoundsAtMost) {
    const Body frame = randomFrame(10 * 1130);
    const Sent sent = send(frame, 0.2);  // k = 10, m = 2
    // Data shards 1 and 4 and parity 11 lost: one more than the code can rebuild.
    for (const auto& s : sent.shards) {
        if (s.shardIndex != 1 && s.shardIndex != 4 && s.shardIndex != 11) {
            assembler.add(s, 1000, ready);
        }
    }
    const std::int64_t rtt = 10000;
    const std::int64_t delay = FrameAssembler::nackDelay(rtt);
    EXPECT_EQ(delay, 22000);
    assembler.runTimers(1000 + delay - 1, rtt, nacks, ready);
    EXPECT_TRUE(nacks.empty());
    assembler.runTimers(1000 + delay, rtt, nacks, ready);
    ASSERT_EQ(nacks.size(), 1u);
    EXPECT_EQ(nacks[0].frameId, 0u);
    using Pair = std::pair<std::uint8_t, std::uint8_t>;
    EXPECT_EQ(nacks[0].shards, (std::vector<Pair>{{0, 1}}));

    // Two more rounds, each a NACK delay after the previous; then no more.
    std::int64_t now = 1000 + delay;
    for (int round = 0; round < 3; ++round) {
        nacks.clear();
        now += delay;
        assembler.runTimers(now, rtt, nacks, ready);
        EXPECT_EQ(nacks.size(), round < 2 ? 1u : 0u) << round;
    }
    // The sender's repair completes the frame.
    const std::vector<std::uint8_t> pairs = {0, 1};
    EXPECT_EQ(sender.repair(0, pairs, 1000000, now,
                            [&](std::span<const std::uint8_t> body) {
                                assembler.add(shardOf({body.begin(), body.end()}), now, ready);
                            }),
              1u);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].data, frame);
    EXPECT_EQ(ready[0].flags, 0);

    EXPECT_EQ(FrameAssembler::nackDelay(0), 3000);
    EXPECT_EQ(FrameAssembler::nackDelay(100000), 40000);
}

TEST_F(Fragments, NacksWholeBlocksThatNeverArrivedUpTo200Pairs) {
    const Sent sent = send(randomFrame(6 * 48 * 1130), 0.1);  // 6 blocks of 48
    assembler.add(sent.shards[0], 0, ready);
    assembler.runTimers(40000, 100000, nacks, ready);
    ASSERT_EQ(nacks.size(), 1u);
    ASSERT_EQ(nacks[0].shards.size(), 200u);
    EXPECT_EQ(nacks[0].shards[0], (std::pair<std::uint8_t, std::uint8_t>{0, 1}));
    EXPECT_EQ(nacks[0].shards[47], (std::pair<std::uint8_t, std::uint8_t>{1, 0}));
}

// Frame 0 lacks a shard, frame 1 never comes, frame 2 is whole: each held frame is given up a
// while after the last sign of it (for frame 1, frame 2's arrival), never while it is alone.
TEST_F(Fragments, GivesUpAFrameThatHoldsTheStream) {
    const Sent broken = send(randomFrame(5000), 0.0);
    for (std::size_t i = 1; i < broken.shards.size(); ++i)
        assembler.add(broken.shards[i], 0, ready);
    assembler.runTimers(10000000, 0, nacks, ready);
    EXPECT_EQ(assembler.counters().givenUp, 0u);
    (void)send(randomFrame(700), 0.0);
    for (const auto& s : send(randomFrame(800), 0.0).shards) {
        assembler.add(s, 10000000, ready);
    }
    const std::int64_t limit = 4 * FrameAssembler::nackDelay(0) + 50000;
    assembler.runTimers(10000000 + limit - 1, 0, nacks, ready);
    EXPECT_EQ(assembler.counters().givenUp, 1u);
    EXPECT_TRUE(ready.empty());
    assembler.runTimers(10000000 + limit, 0, nacks, ready);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].frameId, 2u);
    EXPECT_EQ(assembler.counters().givenUp, 2u);
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
}

// A keyframe crossing a slow link: 54 shards, one every 15 ms (about 600 kbit/s), far longer
// than the give-up age of 210 ms at a 100 ms round trip, while a newer frame already waits. It
// is kept while its shards keep coming and given up only once they stop, its last one lost.
TEST_F(Fragments, KeepsAFrameWhoseShardsKeepArriving) {
    constexpr std::int64_t kRtt = 100000;
    constexpr std::int64_t kSpacing = 15000;
    const std::int64_t limit = 4 * FrameAssembler::nackDelay(kRtt) + 50000;
    const Sent keyframe = send(randomFrame(60000), 0.0);
    const Sent next = send(randomFrame(900), 0.0);
    assembler.add(keyframe.shards[0], 0, ready);
    assembler.add(next.shards[0], 1000, ready);
    std::int64_t now = 0;
    for (std::size_t i = 1; i + 1 < keyframe.shards.size(); ++i) {
        for (std::int64_t t = now + 5000; t < static_cast<std::int64_t>(i) * kSpacing; t += 5000) {
            assembler.runTimers(t, kRtt, nacks, ready);
        }
        now = static_cast<std::int64_t>(i) * kSpacing;
        assembler.add(keyframe.shards[i], now, ready);
    }
    EXPECT_GT(now, 3 * limit);
    assembler.runTimers(now + limit - 1, kRtt, nacks, ready);
    EXPECT_TRUE(ready.empty());
    EXPECT_EQ(assembler.counters().givenUp, 0u);
    assembler.runTimers(now + limit, kRtt, nacks, ready);
    EXPECT_EQ(assembler.counters().givenUp, 1u);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].frameId, 1u);
}

TEST_F(Fragments, RejectsShardsThatContradictTheLayout) {
    const Body frame = randomFrame(4000);
    const Sent sent = send(frame, 0.5);
    const Body wide(999);
    auto bad = [&](auto change) {
        FrameShard s = sent.shards[0];
        change(s);
        assembler.add(s, 0, ready);
    };
    bad([](FrameShard& s) { s.dataShards = 3; });  // 4000 bytes make k = 4
    bad([&](FrameShard& s) {
        s.shardSize = 999;  // with bytes to match
        s.data = wide;
    });
    bad([](FrameShard& s) { s.data = s.data.first(s.data.size() - 1); });
    bad([](FrameShard& s) { s.blockCount = 2; });
    bad([](FrameShard& s) { s.shardIndex = 6; });  // k + m = 6
    bad([](FrameShard& s) { s.frameSize = 0; });
    bad([](FrameShard& s) { s.frameSize = kFecMaxFrameBytes + 1; });
    EXPECT_EQ(assembler.counters().rejectedShards, 7u);
    assembler.add(sent.shards[1], 0, ready);
    bad([](FrameShard& s) { s.captureTimestamp = 1; });  // another frame's header
    bad([](FrameShard& s) { s.parityShards = 1; });
    EXPECT_EQ(assembler.counters().rejectedShards, 9u);
    for (const auto& s : sent.shards) assembler.add(s, 0, ready);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].data, frame);
}

TEST_F(Fragments, RepairsRequestedShardsWithinTheBudgetOfEachWindow) {
    const Sent sent = send(Body(40 * 1130, 3), 0);
    ASSERT_EQ(sent.bodies.size(), 40u);
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
