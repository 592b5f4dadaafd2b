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

}  // namespace
}  // namespace vel::stream
