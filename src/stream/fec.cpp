#include "stream/fec.h"

#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "stream/gf256.h"

namespace vel::stream {
namespace {

constexpr std::size_t kCacheEntries = 16;
// Parity rows are numbered k + p, at most 48 + 23.
constexpr std::size_t kCauchyRows = kFecMaxDataShards + kFecMaxParityShards;

// c(x, d) = 1 / (x XOR d) for every row x = k + p that a block can use. Row k + p of a block
// with k data shards is the first k entries of row x, so one table serves every k.
struct CauchyTables {
    std::uint8_t coeffs[kCauchyRows][kFecMaxDataShards] = {};
    std::uint8_t nibbles[kCauchyRows][kFecMaxDataShards][32] = {};

    CauchyTables() {
        for (std::size_t x = 1; x < kCauchyRows; ++x) {
            for (std::size_t d = 0; d < kFecMaxDataShards && d < x; ++d) {
                coeffs[x][d] = gfInv(static_cast<std::uint8_t>(x ^ d));
                gfNibbleTable(coeffs[x][d], nibbles[x][d]);
            }
        }
    }
};

const CauchyTables& cauchy() {
    static const CauchyTables tables;
    return tables;
}

void checkShape(std::size_t k, std::size_t m) {
    if (k == 0 || k > kFecMaxDataShards || m > kFecMaxParityShards) {
        throw Error("erasure code shape out of range");
    }
}

}  // namespace

ReedSolomon::ReedSolomon(GfPath path) : path_(path) {
    if (!gfPathAvailable(path))
        throw Error(std::string("GF path not available: ") + gfPathName(path));
    cauchy();
}

void ReedSolomon::encode(std::span<const std::uint8_t* const> data,
                         std::span<std::uint8_t* const> parity, std::size_t shardSize) const {
    const std::size_t k = data.size();
    checkShape(k, parity.size());
    if (parity.empty() || shardSize == 0) return;
    const CauchyTables& t = cauchy();
    const GfMatrixView view{&t.coeffs[k][0], kFecMaxDataShards, &t.nibbles[k][0][0],
                            kFecMaxDataShards};
    gfDotProducts(path_, view, parity.size(), k, data.data(), parity.data(), shardSize);
}

void ReedSolomon::encodeBlock(std::span<const std::uint8_t> frame, const FecBlock& block,
                              std::span<std::uint8_t* const> shards) const {
    const std::size_t k = block.dataShards;
    const std::size_t size = block.shardSize;
    if (shards.size() != k + block.parityShards || k == 0 ||
        std::size_t{block.offset} + block.length > frame.size() || k * size < block.length) {
        throw Error("erasure code block does not match the frame");
    }
    std::array<const std::uint8_t*, kFecMaxDataShards> data{};
    for (std::size_t d = 0; d < k; ++d) {
        const std::size_t from = std::min<std::size_t>(d * size, block.length);
        const std::size_t n = std::min(size, block.length - from);
        std::memcpy(shards[d], frame.data() + block.offset + from, n);
        std::memset(shards[d] + n, 0, size - n);
        data[d] = shards[d];
    }
    encode(std::span(data.data(), k), shards.subspan(k), size);
}

bool ReedSolomon::reconstruct(std::size_t k, std::span<std::uint8_t* const> shards,
                              std::span<const bool> present, std::size_t shardSize) {
    if (shards.size() < k || present.size() != shards.size()) {
        throw Error("erasure code shard lists do not match");
    }
    checkShape(k, shards.size() - k);

    // Sources: the present data shards, then present parity shards until there are k.
    std::array<std::size_t, kFecMaxDataShards> sources{};
    std::array<std::size_t, kFecMaxDataShards> missing{};
    std::size_t nSources = 0;
    std::size_t nMissing = 0;
    std::array<std::uint64_t, 2> used{};
    for (std::size_t d = 0; d < k; ++d) {
        if (present[d]) {
            sources[nSources++] = d;
            used[d / 64] |= std::uint64_t{1} << (d % 64);
        } else {
            missing[nMissing++] = d;
        }
    }
    if (nMissing == 0) return true;
    for (std::size_t i = k; i < shards.size() && nSources < k; ++i) {
        if (!present[i]) continue;
        sources[nSources++] = i;
        used[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    if (nSources < k) return false;

    const Decoder& dec =
        decoder(k, used, std::span(sources.data(), k), std::span(missing.data(), nMissing));
    std::array<const std::uint8_t*, kFecMaxDataShards> in{};
    std::array<std::uint8_t*, kFecMaxDataShards> out{};
    for (std::size_t i = 0; i < k; ++i) in[i] = shards[sources[i]];
    for (std::size_t i = 0; i < nMissing; ++i) out[i] = shards[missing[i]];
    const GfMatrixView view{dec.coeffs.data(), k, dec.nibbles.data(), k};
    gfDotProducts(path_, view, nMissing, k, in.data(), out.data(), shardSize);
    return true;
}

// With M the missing data shards and P the parity shards used in their place (|P| = |M| = e):
// parity_P = C[P][M] x_M + C[P][rest] x_rest, so x_M = C[P][M]^-1 (parity_P + C[P][rest] x_rest).
// C[P][M] is itself a Cauchy matrix and always invertible, and only e x e has to be inverted
// instead of the k x k matrix of all sources.
const ReedSolomon::Decoder& ReedSolomon::decoder(std::size_t k,
                                                 const std::array<std::uint64_t, 2>& used,
                                                 std::span<const std::size_t> sources,
                                                 std::span<const std::size_t> missing) {
    const auto hit = std::find_if(cache_.begin(), cache_.end(),
                                  [&](const Decoder& d) { return d.k == k && d.used == used; });
    if (hit != cache_.end()) {
        std::rotate(cache_.begin(), hit, hit + 1);
        return cache_.front();
    }

    const std::size_t e = missing.size();
    const std::span<const std::size_t> parity = sources.subspan(k - e);
    std::array<std::uint8_t, kFecMaxParityShards * kFecMaxParityShards> inverse{};
    for (std::size_t i = 0; i < e; ++i) {
        for (std::size_t j = 0; j < e; ++j) {
            inverse[i * e + j] = cauchy().coeffs[parity[i]][missing[j]];
        }
    }
    if (!gfInvertMatrix(std::span(inverse.data(), e * e), e)) {
        throw Error("erasure code matrix is singular");
    }

    Decoder dec;
    dec.k = k;
    dec.used = used;
    dec.coeffs.assign(e * k, 0);
    const CauchyTables& t = cauchy();
    for (std::size_t j = 0; j < e; ++j) {
        std::uint8_t* row = &dec.coeffs[j * k];
        // Present data shards first, in source order: sum over i of inverse(j, i) * c(P_i, d).
        for (std::size_t i = 0; i < e; ++i) {
            const std::uint8_t* scale = gfMulRow(inverse[j * e + i]);
            const std::uint8_t* c = t.coeffs[parity[i]];  // row k + p of parity p = parity[i] - k
            for (std::size_t s = 0; s < k - e; ++s) row[s] ^= scale[c[sources[s]]];
        }
        for (std::size_t i = 0; i < e; ++i) row[k - e + i] = inverse[j * e + i];
    }
    dec.nibbles.resize(e * k * 32);
    for (std::size_t i = 0; i < e * k; ++i) gfNibbleTable(dec.coeffs[i], &dec.nibbles[i * 32]);
    ++inversions_;

    if (cache_.size() == kCacheEntries) cache_.pop_back();
    cache_.insert(cache_.begin(), std::move(dec));
    return cache_.front();
}

}  // namespace vel::stream
