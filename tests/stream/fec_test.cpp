#include "stream/fec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "core/error.h"
#include "stream/fec_layout.h"
#include "stream/gf256.h"
#include "stream/gf_kernels.h"

namespace vel::stream {
namespace {

// Field arithmetic written from the definition, sharing nothing with the tables under test.
std::uint8_t slowMul(std::uint8_t a, std::uint8_t b) {
    unsigned product = 0;
    unsigned x = a;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) product ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return static_cast<std::uint8_t>(product);
}

std::uint8_t slowInv(std::uint8_t a) {
    for (unsigned b = 1; b < 256; ++b) {
        if (slowMul(a, static_cast<std::uint8_t>(b)) == 1) return static_cast<std::uint8_t>(b);
    }
    return 0;
}

// One block of random data shards and room for parity, with pointer views for the codec.
struct Block {
    std::size_t k, m, size;
    std::vector<std::vector<std::uint8_t>> shards;

    Block(std::size_t k_, std::size_t m_, std::size_t size_, std::mt19937& rng)
        : k(k_), m(m_), size(size_), shards(k_ + m_, std::vector<std::uint8_t>(size_)) {
        for (std::size_t d = 0; d < k; ++d) {
            for (auto& b : shards[d]) b = static_cast<std::uint8_t>(rng());
        }
    }
    std::vector<std::uint8_t*> all() {
        std::vector<std::uint8_t*> p;
        for (auto& s : shards) p.push_back(s.data());
        return p;
    }
    void encode(const ReedSolomon& codec) {
        const std::vector<std::uint8_t*> views = all();
        const std::vector<const std::uint8_t*> data(views.begin(), views.begin() + k);
        codec.encode(data, std::span(views).subspan(k), size);
    }
};

std::vector<GfPath> availablePaths() {
    std::vector<GfPath> paths;
    for (GfPath p : {GfPath::Scalar, GfPath::Ssse3, GfPath::Avx2}) {
        if (gfPathAvailable(p)) paths.push_back(p);
    }
    return paths;
}

// Parity p is the sum over d of c(p, d) * shard d with c(p, d) = 1 / ((k + p) XOR d), written
// here byte by byte from the definition. The sizes straddle the vector widths, where the
// overlapping tail and the short-region fallback take over, and m covers every group of rows.
TEST(ReedSolomon, ParityFollowsTheCauchyDefinitionOnEveryPath) {
    std::mt19937 rng(1);
    for (GfPath path : availablePaths()) {
        const ReedSolomon codec(path);
        for (std::size_t size : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 1130u}) {
            for (std::size_t m = 1; m <= 24; m += (m < 8 ? 1 : 5)) {
                const std::size_t k = 1 + rng() % 48;
                Block block(k, m, size, rng);
                block.encode(codec);
                for (std::size_t p = 0; p < m; ++p) {
                    std::vector<std::uint8_t> c(k);
                    for (std::size_t d = 0; d < k; ++d)
                        c[d] = slowInv(static_cast<std::uint8_t>((k + p) ^ d));
                    for (std::size_t i = 0; i < size; ++i) {
                        std::uint8_t expected = 0;
                        for (std::size_t d = 0; d < k; ++d)
                            expected ^= slowMul(c[d], block.shards[d][i]);
                        ASSERT_EQ(block.shards[k + p][i], expected)
                            << gfPathName(path) << " k=" << k << " m=" << m << " size=" << size;
                    }
                }
            }
        }
    }
}

// Property: for random k, m and erasure patterns of up to m shards, every path rebuilds the
// data exactly; with more than m erasures it refuses and writes nothing.
TEST(ReedSolomon, AnyKShardsRebuildTheBlock) {
    std::mt19937 rng(3);
    std::vector<std::tuple<std::size_t, std::size_t>> shapes = {{48, 24}, {10, 2}, {1, 1},
                                                                {48, 1},  {2, 24}, {1, 24}};
    for (int i = 0; i < 40; ++i) shapes.emplace_back(1 + rng() % 48, 1 + rng() % 24);

    for (GfPath path : availablePaths()) {
        ReedSolomon codec(path);
        for (auto [k, m] : shapes) {
            const std::size_t size = 1 + rng() % 1130;
            Block original(k, m, size, rng);
            original.encode(codec);

            // Trials of up to m erasures rebuild the data; the last, of m + 1, is refused.
            for (int trial = 0; trial <= 8; ++trial) {
                Block received = original;
                std::vector<std::size_t> order(k + m);
                std::iota(order.begin(), order.end(), 0);
                std::shuffle(order.begin(), order.end(), rng);
                const std::size_t lost = trial == 0 ? m : trial == 8 ? m + 1 : rng() % (m + 1);
                std::array<bool, 72> present{};
                std::fill_n(present.begin(), k + m, true);
                for (std::size_t s = 0; s < lost; ++s) {
                    present[order[s]] = false;
                    std::fill(received.shards[order[s]].begin(), received.shards[order[s]].end(),
                              0xEE);
                }
                const Block before = received;
                auto shards = received.all();
                const bool rebuilt =
                    codec.reconstruct(k, shards, std::span(present.data(), k + m), size);
                ASSERT_EQ(rebuilt, lost <= m) << gfPathName(path) << " k=" << k << " m=" << m;
                for (std::size_t d = 0; d < k; ++d) {
                    ASSERT_EQ(received.shards[d], (rebuilt ? original : before).shards[d])
                        << gfPathName(path) << " k=" << k << " m=" << m << " lost=" << lost;
                }
            }
        }
    }
}

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
            EXPECT_LE(b.dataShards, 48);
            EXPECT_LE(b.parityShards, 24);
            EXPECT_LE(b.shardSize, kFecShardBytes);
            EXPECT_GE(std::size_t{b.dataShards} * b.shardSize, b.length);
            // Also no empty block and no block without data shards.
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
