#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "stream/fec_layout.h"
#include "stream/gf_kernels.h"

namespace vel::stream {

// The video erasure code: a systematic Cauchy Reed-Solomon code over GF(2^8) (0x11D). Parity
// shard p of a block of k data shards is the sum over d of c(p, d) * shard d with
// c(p, d) = 1 / ((k + p) XOR d); any k of the k + m shards rebuild the block.
//
// One object per thread: reconstruction keeps a small cache of decoding matrices by erasure
// pattern, because inverting one costs more than applying it to a block of video.
class ReedSolomon {
  public:
    explicit ReedSolomon(GfPath path = gfBestPath());

    // Writes m = parity.size() parity shards from k = data.size() data shards of shardSize bytes
    // each. Throws vel::Error unless 1 <= k <= 48 and m <= 24.
    void encode(std::span<const std::uint8_t* const> data, std::span<std::uint8_t* const> parity,
                std::size_t shardSize) const;

    // Writes one block of a frame as its k + m shards: the block's bytes cut into the data
    // shards, the last one zero-padded, then the parity. shards holds k + m buffers of
    // block.shardSize bytes (they may point straight into packet buffers).
    void encodeBlock(std::span<const std::uint8_t> frame, const FecBlock& block,
                     std::span<std::uint8_t* const> shards) const;

    // shards: the k + m buffers of one block in shard order, each shardSize bytes; present[i]
    // says whether shard i was received. Every missing data shard is rebuilt in its buffer;
    // parity buffers are only read. False (nothing written) when fewer than k are present.
    // Throws vel::Error on sizes outside the code's limits.
    [[nodiscard]] bool reconstruct(std::size_t k, std::span<std::uint8_t* const> shards,
                                   std::span<const bool> present, std::size_t shardSize);

    GfPath path() const { return path_; }
    // Decoding matrices computed so far (cache misses); lets tests see that the cache works.
    std::size_t inversions() const { return inversions_; }

  private:
    struct Decoder {
        std::size_t k = 0;
        std::array<std::uint64_t, 2> used{};  // bit i: shard i is a source of the decode
        std::vector<std::uint8_t> coeffs;     // one row of k per missing data shard
        std::vector<std::uint8_t> nibbles;    // the same as 32-byte nibble tables
    };

    const Decoder& decoder(std::size_t k, const std::array<std::uint64_t, 2>& used,
                           std::span<const std::size_t> sources,
                           std::span<const std::size_t> missing);

    GfPath path_;
    std::vector<Decoder> cache_;  // most recently used first
    std::size_t inversions_ = 0;
};

}  // namespace vel::stream
