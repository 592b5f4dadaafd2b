#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vel::stream {

constexpr std::size_t kFecMaxDataShards = 48;
constexpr std::size_t kFecMaxParityShards = 24;

// Shard payload that keeps a VideoFragment packet within one 1200-byte datagram.
constexpr std::size_t kFecShardBytes = 1130;
constexpr std::size_t kFecMaxBlocks = 64;
// Largest frame that fits 64 blocks of 48 data shards.
constexpr std::size_t kFecMaxFrameBytes = kFecMaxBlocks * kFecMaxDataShards * kFecShardBytes;

// The share of parity to send: twice the smoothed loss on top of the profile's minimum, capped
// at its maximum; keyframes, which every later frame needs, get half as much again, up to 0.5.
double fecRatio(double smoothedLoss, double fecMin, double fecMax, bool keyframe);

// One FEC block of a frame: bytes [offset, offset + length) of the frame as k data shards of
// shardSize bytes (the last zero-padded) and m parity shards.
struct FecBlock {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint8_t dataShards = 0;
    std::uint8_t parityShards = 0;
    std::uint16_t shardSize = 0;
};

// Splits a frame of frameSize bytes into blocks protected at the given ratio. False (no blocks)
// for an empty frame or one above kFecMaxFrameBytes, which is not sent.
[[nodiscard]] bool planFecBlocks(std::size_t frameSize, double ratio,
                                 std::vector<FecBlock>& blocks);

}  // namespace vel::stream
