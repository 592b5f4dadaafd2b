#include "stream/frame_assembler.h"

#include <gtest/gtest.h>

#include <random>

#include "stream/network_emulation.h"

namespace vel::stream {
namespace {

// A shard as the host would send it, owning its bytes.
struct SentShard {
    FrameShard header;
    Bytes bytes;

    FrameShard view() const {
        FrameShard s = header;
        s.data = bytes;
        return s;
    }
};

// Fragments and protects a frame the way the host does.
std::vector<SentShard> fragment(std::uint32_t frameId, const Bytes& frame, double ratio,
                                std::uint8_t flags = 0) {
    std::vector<FecBlock> blocks;
    EXPECT_TRUE(planFecBlocks(frame.size(), ratio, blocks));
    const ReedSolomon codec;
    std::vector<SentShard> out;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const FecBlock& block = blocks[b];
        const std::size_t k = block.dataShards, m = block.parityShards;
        std::vector<Bytes> shards(k + m, Bytes(block.shardSize, 0xAA));
        std::vector<std::uint8_t*> pointers;
        for (auto& shard : shards) pointers.push_back(shard.data());
        codec.encodeBlock(frame, block, pointers);
        for (std::size_t i = 0; i < k + m; ++i) {
            SentShard s;
            s.header.frameId = frameId;
            s.header.flags = flags;
            s.header.codec = 1;
            s.header.blockIndex = static_cast<std::uint8_t>(b);
            s.header.blockCount = static_cast<std::uint8_t>(blocks.size());
            s.header.shardIndex = static_cast<std::uint8_t>(i);
            s.header.dataShards = block.dataShards;
            s.header.parityShards = block.parityShards;
            s.header.frameSize = static_cast<std::uint32_t>(frame.size());
            s.header.blockSize = block.length;
            s.header.shardSize = block.shardSize;
            s.header.captureTimestamp = 1000u + frameId;
            s.header.encodeDuration = 7;
            s.bytes = std::move(shards[i]);
            out.push_back(std::move(s));
        }
    }
    return out;
}

Bytes randomFrame(std::size_t size, std::mt19937& rng) {
    Bytes frame(size);
    for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
    return frame;
}

const SentShard& find(const std::vector<SentShard>& shards, std::uint8_t block,
                      std::uint8_t index) {
    for (const SentShard& s : shards) {
        if (s.header.blockIndex == block && s.header.shardIndex == index) return s;
    }
    throw std::out_of_range("no such shard");
}

TEST(FrameAssembler, RebuildsFramesFromAnyKShardsPerBlock) {
    std::mt19937 rng(11);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    std::uint32_t id = 0;
    for (std::size_t size : {1u, 1130u, 1131u, 54240u, 54241u, 300000u}) {
        const Bytes frame = randomFrame(size, rng);
        auto shards = fragment(id, frame, 0.25, id == 0 ? 1 : 0);
        // Lose up to m shards of every block.
        std::vector<bool> lost(shards.size(), false);
        for (std::size_t i = 0; i < shards.size(); ++i) {
            const auto& h = shards[i].header;
            lost[i] = h.shardIndex < h.parityShards && (rng() & 1);
        }
        std::shuffle(shards.begin(), shards.end(), rng);
        for (std::size_t i = 0; i < shards.size(); ++i) {
            if (!lost[i]) assembler.add(shards[i].view(), 1000, ready);
        }
        ASSERT_EQ(ready.size(), 1u) << size;
        EXPECT_EQ(ready[0].frameId, id);
        EXPECT_EQ(ready[0].data, frame);
        EXPECT_EQ(ready[0].flags, id == 0 ? 1 : 0);
        EXPECT_EQ(ready[0].captureTimestamp, 1000u + id);
        EXPECT_EQ(ready[0].encodeDuration, 7);
        ready.clear();
        ++id;
    }
    EXPECT_GT(assembler.counters().recoveredBlocks, 0u);
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
}

TEST(FrameAssembler, ReleasesInFrameOrderAndOnlyOnce) {
    std::mt19937 rng(12);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    const auto first = fragment(5, randomFrame(3000, rng), 0.1);
    const auto second = fragment(6, randomFrame(2000, rng), 0.1);
    assembler.add(first[0].view(), 0, ready);
    for (const auto& s : second) assembler.add(s.view(), 0, ready);
    EXPECT_TRUE(ready.empty());  // frame 6 waits for frame 5
    for (const auto& s : first) assembler.add(s.view(), 0, ready);
    ASSERT_EQ(ready.size(), 2u);
    EXPECT_EQ(ready[0].frameId, 5u);
    EXPECT_EQ(ready[1].frameId, 6u);
    // Its parity shard came after the frame was complete; so does a duplicate.
    EXPECT_EQ(assembler.counters().lateShards, 1u);
    assembler.add(first[1].view(), 0, ready);
    EXPECT_EQ(ready.size(), 2u);
    EXPECT_EQ(assembler.counters().lateShards, 2u);
    EXPECT_EQ(assembler.counters().delivered, 2u);
}

TEST(FrameAssembler, AsksForExactlyTheMissingShardsInThreeRoundsAtMost) {
    std::mt19937 rng(13);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    std::vector<NackRequest> nacks;
    const Bytes frame = randomFrame(10 * 1130, rng);
    const auto shards = fragment(0, frame, 0.2);  // k = 10, m = 2
    // Data shards 1 and 4 and parity 11 lost: one more than the code can rebuild.
    for (const auto& s : shards) {
        const auto i = s.header.shardIndex;
        if (i != 1 && i != 4 && i != 11) assembler.add(s.view(), 1000, ready);
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
    // The repair completes the frame.
    SentShard repair = find(shards, 0, 1);
    repair.header.flags |= 0x02;
    assembler.add(repair.view(), now, ready);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].data, frame);
    EXPECT_EQ(ready[0].flags, 0);

    EXPECT_EQ(FrameAssembler::nackDelay(0), 3000);
    EXPECT_EQ(FrameAssembler::nackDelay(100000), 40000);
}

TEST(FrameAssembler, NacksWholeBlocksThatNeverArrivedUpTo200Pairs) {
    std::mt19937 rng(14);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    std::vector<NackRequest> nacks;
    const auto shards = fragment(0, randomFrame(6 * 48 * 1130, rng), 0.1);  // 6 blocks of 48
    assembler.add(find(shards, 0, 0).view(), 0, ready);
    assembler.runTimers(40000, 100000, nacks, ready);
    ASSERT_EQ(nacks.size(), 1u);
    ASSERT_EQ(nacks[0].shards.size(), 200u);
    EXPECT_EQ(nacks[0].shards[0], (std::pair<std::uint8_t, std::uint8_t>{0, 1}));
    EXPECT_EQ(nacks[0].shards[47], (std::pair<std::uint8_t, std::uint8_t>{1, 0}));
}

TEST(FrameAssembler, GivesUpAFrameThatHoldsTheStream) {
    std::mt19937 rng(15);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    std::vector<NackRequest> nacks;
    const auto broken = fragment(0, randomFrame(5000, rng), 0.0);
    for (std::size_t i = 1; i < broken.size(); ++i) assembler.add(broken[i].view(), 0, ready);
    // Alone, it waits.
    assembler.runTimers(10000000, 0, nacks, ready);
    EXPECT_EQ(assembler.counters().givenUp, 0u);
    // Frame 2 arrives, frame 1 never does.
    for (const auto& s : fragment(2, randomFrame(800, rng), 0.0)) {
        assembler.add(s.view(), 10000000, ready);
    }
    const std::int64_t limit = 4 * FrameAssembler::nackDelay(0) + 50000;
    assembler.runTimers(limit - 1, 0, nacks, ready);
    EXPECT_TRUE(ready.empty());
    assembler.runTimers(limit, 0, nacks, ready);  // frame 0, first seen at 0
    EXPECT_EQ(assembler.counters().givenUp, 1u);
    EXPECT_TRUE(ready.empty());
    assembler.runTimers(10000000 + limit, 0, nacks, ready);  // frame 1, timed from frame 2
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].frameId, 2u);
    EXPECT_EQ(assembler.counters().givenUp, 2u);
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
}

// A keyframe crossing a slow link: 54 shards, one every 15 ms (about 600 kbit/s), far longer
// than the give-up age of 210 ms at a 100 ms round trip, while a newer frame already waits. It
// is kept while its shards keep coming and given up only once they stop.
TEST(FrameAssembler, KeepsAFrameWhoseShardsKeepArriving) {
    std::mt19937 rng(17);
    constexpr std::int64_t kRtt = 100000;
    constexpr std::int64_t kSpacing = 15000;
    const std::int64_t limit = 4 * FrameAssembler::nackDelay(kRtt) + 50000;
    for (const bool lastLost : {false, true}) {
        FrameAssembler assembler;
        std::vector<AssembledFrame> ready;
        std::vector<NackRequest> nacks;
        const auto keyframe = fragment(0, randomFrame(60000, rng), 0.0, 0x01);
        const auto next = fragment(1, randomFrame(900, rng), 0.0);
        assembler.add(keyframe[0].view(), 0, ready);
        assembler.add(next[0].view(), 1000, ready);
        const std::size_t sent = keyframe.size() - (lastLost ? 1 : 0);
        std::int64_t now = 0;
        for (std::size_t i = 1; i < sent; ++i) {
            for (std::int64_t t = now + 5000; t < static_cast<std::int64_t>(i) * kSpacing;
                 t += 5000) {
                assembler.runTimers(t, kRtt, nacks, ready);
            }
            now = static_cast<std::int64_t>(i) * kSpacing;
            assembler.add(keyframe[i].view(), now, ready);
        }
        EXPECT_GT(now, 3 * limit);
        if (!lastLost) {
            ASSERT_EQ(ready.size(), 2u);
            EXPECT_EQ(ready[0].frameId, 0u);
            EXPECT_EQ(ready[0].data.size(), 60000u);
            EXPECT_EQ(assembler.counters().givenUp, 0u);
            continue;
        }
        assembler.runTimers(now + limit - 1, kRtt, nacks, ready);
        EXPECT_TRUE(ready.empty());
        EXPECT_EQ(assembler.counters().givenUp, 0u);
        assembler.runTimers(now + limit, kRtt, nacks, ready);
        EXPECT_EQ(assembler.counters().givenUp, 1u);
        ASSERT_EQ(ready.size(), 1u);
        EXPECT_EQ(ready[0].frameId, 1u);
    }
}

TEST(FrameAssembler, RejectsShardsThatContradictTheLayout) {
    std::mt19937 rng(16);
    FrameAssembler assembler;
    std::vector<AssembledFrame> ready;
    const Bytes frame = randomFrame(4000, rng);
    const auto shards = fragment(0, frame, 0.5);
    auto bad = [&](auto change) {
        SentShard s = shards[0];
        change(s);
        assembler.add(s.view(), 0, ready);
    };
    bad([](SentShard& s) { s.header.dataShards = 3; });   // 4000 bytes make k = 4
    bad([](SentShard& s) { s.header.shardSize = 999; });  // with bytes to match
    bad([](SentShard& s) { s.bytes.pop_back(); });        // bytes short of the shard size
    bad([](SentShard& s) { s.header.blockCount = 2; });
    bad([](SentShard& s) { s.header.shardIndex = 6; });  // k + m = 6
    bad([](SentShard& s) { s.header.frameSize = 0; });
    bad([](SentShard& s) { s.header.frameSize = kFecMaxFrameBytes + 1; });
    EXPECT_EQ(assembler.counters().rejectedShards, 7u);
    assembler.add(shards[1].view(), 0, ready);
    bad([](SentShard& s) { s.header.captureTimestamp = 1; });  // another frame's header
    bad([](SentShard& s) { s.header.parityShards = 1; });
    EXPECT_EQ(assembler.counters().rejectedShards, 9u);
    for (const auto& s : shards) assembler.add(s.view(), 0, ready);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].data, frame);
}

// 60 frames over an emulated path with 10% loss and 30 ms jitter: FEC and up to three NACK
// rounds (the repairs cross the same path) deliver every frame intact and in order.
TEST(FrameAssembler, DeliversEveryFrameThroughLossAndJitter) {
    std::mt19937 rng(17);
    NetworkEmulation path;
    path.loss = 0.1;
    path.jitterMs = 30;
    path.delayMs = 30;
    NetworkEmulator forward(path);
    path.seed = 99;
    NetworkEmulator backward(path);
    DelayQueue<SentShard> toViewer;
    DelayQueue<NackRequest> toHost;
    FrameAssembler assembler;
    std::vector<Bytes> frames;
    std::vector<std::vector<SentShard>> history;
    std::vector<AssembledFrame> ready;
    const std::int64_t rtt = 60000;
    int repairs = 0;

    for (std::int64_t now = 0; now < 3000000; now += 1000) {
        if (now % 16000 == 0 && frames.size() < 60) {
            const std::size_t size = frames.size() % 30 == 0 ? 120000 : 2000 + rng() % 20000;
            frames.push_back(randomFrame(size, rng));
            const double ratio = fecRatio(0.1, 0.1, 0.2, size == 120000);
            history.push_back(fragment(static_cast<std::uint32_t>(frames.size() - 1), frames.back(),
                                       ratio, size == 120000 ? 1 : 0));
            for (const auto& s : history.back()) {
                if (auto due = forward.admit(s.bytes.size() + 67, now)) toViewer.push(*due, s);
            }
        }
        while (auto nack = toHost.popDue(now)) {
            for (auto [block, index] : nack->shards) {
                SentShard s = find(history[nack->frameId], block, index);
                s.header.flags |= 0x02;
                ++repairs;
                if (auto due = forward.admit(s.bytes.size() + 67, now)) toViewer.push(*due, s);
            }
        }
        while (auto shard = toViewer.popDue(now)) assembler.add(shard->view(), now, ready);
        std::vector<NackRequest> nacks;
        assembler.runTimers(now, rtt, nacks, ready);
        for (auto& n : nacks) {
            if (auto due = backward.admit(400, now)) toHost.push(*due, std::move(n));
        }
    }
    ASSERT_EQ(ready.size(), 60u);
    for (std::size_t i = 0; i < ready.size(); ++i) {
        EXPECT_EQ(ready[i].frameId, i);
        EXPECT_EQ(ready[i].data, frames[i]) << i;
    }
    EXPECT_EQ(assembler.counters().givenUp, 0u);
    EXPECT_GT(repairs, 0);  // the path lost more than the parity covered somewhere
}

}  // namespace
}  // namespace vel::stream
