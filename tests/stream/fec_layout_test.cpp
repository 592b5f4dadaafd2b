#include "stream/fec_layout.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

// Blocks tile the frame without gaps, each fits the code (k <= 48, m <= 24) and its shards hold
// the block; beyond 64 full blocks the frame is refused.
TEST(FecLayout, BlocksTileTheFrameWithinTheCodeLimits) {
    for (std::size_t size : {54240u, 54241u, 100000u, 1000000u, 2500001u, 3471359u, 3471360u}) {
        std::vector<FecBlock> blocks;
        ASSERT_TRUE(planFecBlocks(size, 0.4, blocks)) << size;
        ASSERT_LE(blocks.size(), kFecMaxBlocks);
        std::size_t offset = 0;
        for (const FecBlock& b : blocks) {
            EXPECT_EQ(b.offset, offset);
            EXPECT_GT(b.length, 0u);
            EXPECT_GE(b.dataShards, 1);
            EXPECT_LE(b.dataShards, 48);
            EXPECT_LE(b.parityShards, 24);
            EXPECT_LE(b.shardSize, kFecShardBytes);
            EXPECT_GE(std::size_t{b.dataShards} * b.shardSize, b.length);
            EXPECT_LT(std::size_t{b.dataShards - 1u} * b.shardSize, b.length);
            offset += b.length;
        }
        EXPECT_EQ(offset, size);
    }
    std::vector<FecBlock> blocks;
    ASSERT_TRUE(planFecBlocks(54241, 0.1, blocks));
    EXPECT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].length, 27121u);
    EXPECT_EQ(blocks[1].length, 27120u);

    ASSERT_TRUE(planFecBlocks(kFecMaxFrameBytes, 0.1, blocks));
    EXPECT_EQ(blocks.size(), 64u);
    EXPECT_FALSE(planFecBlocks(kFecMaxFrameBytes + 1, 0.1, blocks));
    EXPECT_TRUE(blocks.empty());
}

}  // namespace
}  // namespace vel::stream
