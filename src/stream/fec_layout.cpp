#include "stream/fec_layout.h"

#include <algorithm>
#include <cmath>


namespace vel::stream {
namespace {

std::size_t ceilDiv(std::size_t a, std::size_t b) {
    return (a + b - 1) / b;
}

}  // namespace

double fecRatio(double smoothedLoss, double fecMin, double fecMax, bool keyframe) {
    const double x = 2 * smoothedLoss + fecMin;
    const double r = x > fecMax ? fecMax : x;
    return keyframe ? std::min(1.5 * r, 0.5) : r;
}

bool planFecBlocks(std::size_t frameSize, double ratio, std::vector<FecBlock>& blocks) {
    blocks.clear();
    if (frameSize == 0) return false;
    const std::size_t shards = ceilDiv(frameSize, kFecShardBytes);
    const std::size_t count = std::min(ceilDiv(shards, kFecMaxDataShards), kFecMaxBlocks);
    if (shards > kFecMaxDataShards * count) return false;

    const std::size_t blockLength = ceilDiv(frameSize, count);
    for (std::size_t b = 0, offset = 0; b < count; ++b, offset += blockLength) {
        FecBlock block;
        block.offset = static_cast<std::uint32_t>(offset);
        block.length = static_cast<std::uint32_t>(std::min(blockLength, frameSize - offset));
        const std::size_t k = ceilDiv(block.length, kFecShardBytes);
        block.dataShards = static_cast<std::uint8_t>(k);
        block.shardSize = static_cast<std::uint16_t>(ceilDiv(block.length, k));
        // The tolerance keeps products such as 10 x 0.3 from rounding up to an extra shard.
        double m = std::ceil(static_cast<double>(k) * ratio - 1e-9);
        m = ratio > 0 ? std::max(m, 1.0) : 0.0;
        block.parityShards =
            static_cast<std::uint8_t>(std::min(m, static_cast<double>(kFecMaxParityShards)));
        blocks.push_back(block);
    }
    return true;
}

}  // namespace vel::stream
