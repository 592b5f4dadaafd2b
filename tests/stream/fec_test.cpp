#include "stream/fec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/error.h"
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
    std::vector<const std::uint8_t*> data() const {
        std::vector<const std::uint8_t*> p;
        for (std::size_t d = 0; d < k; ++d) p.push_back(shards[d].data());
        return p;
    }
    std::vector<std::uint8_t*> parity() {
        std::vector<std::uint8_t*> p;
        for (std::size_t i = k; i < k + m; ++i) p.push_back(shards[i].data());
        return p;
    }
    std::vector<std::uint8_t*> all() {
        std::vector<std::uint8_t*> p;
        for (auto& s : shards) p.push_back(s.data());
        return p;
    }
};

std::vector<GfPath> availablePaths() {
    std::vector<GfPath> paths;
    for (GfPath p : {GfPath::Scalar, GfPath::Ssse3, GfPath::Avx2}) {
        if (gfPathAvailable(p)) paths.push_back(p);
    }
    return paths;
}

TEST(Gf256, TablesMatchTheFieldDefinition) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const auto x = static_cast<std::uint8_t>(a), y = static_cast<std::uint8_t>(b);
            ASSERT_EQ(gfMul(x, y), slowMul(x, y)) << a << " * " << b;
        }
        if (a != 0) {
            ASSERT_EQ(gfInv(static_cast<std::uint8_t>(a)), slowInv(static_cast<std::uint8_t>(a)));
        }
    }
    std::uint8_t table[32];
    gfNibbleTable(0x8e, table);
    for (unsigned b = 0; b < 256; ++b) {
        EXPECT_EQ(table[b & 15] ^ table[16 + (b >> 4)],
                  slowMul(0x8e, static_cast<std::uint8_t>(b)));
    }
}

TEST(Gf256, InvertsAndRejectsSingularMatrices) {
    std::mt19937 rng(7);
    const std::size_t n = 5;
    std::vector<std::uint8_t> m(n * n);
    for (auto& v : m) v = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> inv = m;
    ASSERT_TRUE(gfInvertMatrix(inv, n));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            std::uint8_t sum = 0;
            for (std::size_t t = 0; t < n; ++t) sum ^= slowMul(m[i * n + t], inv[t * n + j]);
            EXPECT_EQ(sum, i == j ? 1 : 0);
        }
    }
    for (std::size_t j = 0; j < n; ++j) m[3 * n + j] = m[1 * n + j];  // two equal rows
    EXPECT_FALSE(gfInvertMatrix(m, n));
}

// Parity p is the sum over d of c(p, d) * shard d with c(p, d) = 1 / ((k + p) XOR d), written
// here byte by byte from the definition.
TEST(ReedSolomon, ParityFollowsTheCauchyDefinitionOnEveryPath) {
    std::mt19937 rng(1);
    for (GfPath path : availablePaths()) {
        ReedSolomon codec(path);
        for (auto [k, m, size] : {std::tuple{1u, 1u, 1130u},
                                  {10u, 2u, 1130u},
                                  {48u, 24u, 1130u},
                                  {3u, 7u, 1u},
                                  {5u, 5u, 15u},
                                  {7u, 3u, 33u},
                                  {13u, 11u, 95u}}) {
            Block block(k, m, size, rng);
            auto data = block.data();
            auto parity = block.parity();
            codec.encode(data, parity, size);
            for (std::size_t p = 0; p < m; ++p) {
                std::vector<std::uint8_t> c(k);
                for (std::size_t d = 0; d < k; ++d)
                    c[d] = slowInv(static_cast<std::uint8_t>((k + p) ^ d));
                for (std::size_t i = 0; i < size; ++i) {
                    std::uint8_t expected = 0;
                    for (std::size_t d = 0; d < k; ++d)
                        expected ^= slowMul(c[d], block.shards[d][i]);
                    ASSERT_EQ(block.shards[k + p][i], expected)
                        << gfPathName(path) << " k=" << k << " m=" << m << " p=" << p << " i=" << i;
                }
            }
        }
    }
}

// Every vector path against the scalar reference, at sizes around the vector widths where the
// overlapping tail and the short-region fallback take over, and at every group of rows.
TEST(ReedSolomon, VectorPathsGiveTheScalarBytes) {
    std::mt19937 rng(2);
    const ReedSolomon scalar(GfPath::Scalar);
    for (GfPath path : availablePaths()) {
        if (path == GfPath::Scalar) continue;
        const ReedSolomon fast(path);
        for (std::size_t size :
             {1u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 63u, 64u, 65u, 1129u, 1130u}) {
            for (std::size_t m = 1; m <= 24; m += (m < 8 ? 1 : 5)) {
                const std::size_t k = 1 + rng() % 48;
                Block a(k, m, size, rng);
                Block b = a;
                auto pa = a.parity();
                auto pb = b.parity();
                scalar.encode(a.data(), pa, size);
                fast.encode(b.data(), pb, size);
                ASSERT_EQ(a.shards, b.shards)
                    << gfPathName(path) << " k=" << k << " m=" << m << " size=" << size;
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
            auto parity = original.parity();
            codec.encode(original.data(), parity, size);

            for (int trial = 0; trial < 8; ++trial) {
                Block received = original;
                std::vector<std::size_t> order(k + m);
                for (std::size_t s = 0; s < order.size(); ++s) order[s] = s;
                std::shuffle(order.begin(), order.end(), rng);
                const std::size_t lost = trial == 0 ? m : rng() % (m + 1);
                std::vector<bool> presentBits(k + m, true);
                for (std::size_t s = 0; s < lost; ++s) {
                    presentBits[order[s]] = false;
                    std::fill(received.shards[order[s]].begin(), received.shards[order[s]].end(),
                              0xEE);
                }
                const std::unique_ptr<bool[]> present(new bool[k + m]);
                std::copy(presentBits.begin(), presentBits.end(), present.get());
                auto shards = received.all();
                ASSERT_TRUE(codec.reconstruct(k, shards, std::span(present.get(), k + m), size));
                for (std::size_t d = 0; d < k; ++d) {
                    ASSERT_EQ(received.shards[d], original.shards[d])
                        << gfPathName(path) << " k=" << k << " m=" << m << " lost=" << lost;
                }
            }

            // One erasure too many.
            Block received = original;
            const std::unique_ptr<bool[]> present(new bool[k + m]);
            std::fill(present.get(), present.get() + k + m, true);
            std::vector<std::size_t> order(k + m);
            for (std::size_t s = 0; s < order.size(); ++s) order[s] = s;
            std::shuffle(order.begin(), order.end(), rng);
            for (std::size_t s = 0; s <= m; ++s) present[order[s]] = false;
            const Block before = received;
            auto shards = received.all();
            EXPECT_FALSE(codec.reconstruct(k, shards, std::span(present.get(), k + m), size));
            EXPECT_EQ(received.shards, before.shards);
        }
    }
}

TEST(ReedSolomon, ReusesTheDecodingMatrixOfARepeatedErasurePattern) {
    std::mt19937 rng(4);
    ReedSolomon codec;
    Block block(10, 2, 200, rng);
    auto parity = block.parity();
    codec.encode(block.data(), parity, 200);
    const Block original = block;

    auto lose = [&](std::initializer_list<std::size_t> lost) {
        Block received = original;
        bool present[12];
        std::fill(std::begin(present), std::end(present), true);
        for (std::size_t s : lost) {
            present[s] = false;
            std::fill(received.shards[s].begin(), received.shards[s].end(), 0);
        }
        auto shards = received.all();
        EXPECT_TRUE(codec.reconstruct(10, shards, present, 200));
        for (std::size_t d = 0; d < 10; ++d) EXPECT_EQ(received.shards[d], original.shards[d]);
    };
    lose({3, 7});
    EXPECT_EQ(codec.inversions(), 1u);
    lose({3, 7});
    EXPECT_EQ(codec.inversions(), 1u);
    lose({3});  // another pattern: the first parity stands in for shard 3 alone
    EXPECT_EQ(codec.inversions(), 2u);
    lose({10, 11});  // only parity lost: nothing to rebuild, nothing to invert
    EXPECT_EQ(codec.inversions(), 2u);
}

TEST(ReedSolomon, EncodesABlockOfAFrameWithZeroPadding) {
    std::mt19937 rng(5);
    std::vector<std::uint8_t> frame(5000);
    for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
    const FecBlock block{1000, 2500, 3, 2, 834};  // the last data shard holds 832 bytes
    std::vector<std::vector<std::uint8_t>> shards(5, std::vector<std::uint8_t>(834, 0xAA));
    std::vector<std::uint8_t*> pointers;
    for (auto& s : shards) pointers.push_back(s.data());
    const ReedSolomon codec;
    codec.encodeBlock(frame, block, pointers);
    EXPECT_TRUE(std::equal(shards[0].begin(), shards[0].end(), frame.begin() + 1000));
    EXPECT_TRUE(std::equal(shards[2].begin(), shards[2].begin() + 832, frame.begin() + 2668));
    EXPECT_EQ(shards[2][832], 0);
    EXPECT_EQ(shards[2][833], 0);
    std::vector<std::vector<std::uint8_t>> parity(2, std::vector<std::uint8_t>(834));
    std::vector<std::uint8_t*> parityPointers{parity[0].data(), parity[1].data()};
    const std::vector<const std::uint8_t*> data{shards[0].data(), shards[1].data(),
                                                shards[2].data()};
    codec.encode(data, parityPointers, 834);
    EXPECT_EQ(parity[0], shards[3]);
    EXPECT_EQ(parity[1], shards[4]);

    const FecBlock beyond{4000, 2500, 3, 2, 834};
    EXPECT_THROW(codec.encodeBlock(frame, beyond, pointers), Error);
}

TEST(ReedSolomon, RefusesShapesOutsideTheCode) {
    ReedSolomon codec;
    std::vector<std::uint8_t> buffer(64);
    std::vector<const std::uint8_t*> data(49, buffer.data());
    std::vector<std::uint8_t*> parity(1, buffer.data());
    EXPECT_THROW(codec.encode(data, parity, 64), Error);
    data.resize(2);
    parity.assign(25, buffer.data());
    EXPECT_THROW(codec.encode(data, parity, 64), Error);
    EXPECT_THROW(codec.encode({}, {}, 64), Error);
}

}  // namespace
}  // namespace vel::stream
