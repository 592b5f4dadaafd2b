#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "stream/fec.h"
#include "stream/fec_layout.h"
#include "stream/record_bodies.h"

namespace vel::stream {

// What the encoder says about one frame besides its bytes.
struct VideoFrameInfo {
    bool keyframe = false;
    bool requestedKeyframe = false;  // produced while a viewer's keyframe request was pending
    std::uint8_t codec = 0;          // a VideoCodec value
    std::uint64_t captureTimestamp = 0;
    std::int64_t encodeMicros = 0;
};

// The host's side of video: splits a frame into FEC blocks, writes every data and parity shard
// as a VideoFragment body, and keeps the bodies of recent frames to answer NACKs within a byte
// budget per 100 ms. Not locked: the session holds its frame-history lock.
class FrameSender {
  public:
    // Frames kept for repair; older ones are forgotten.
    static constexpr std::size_t kHistoryFrames = 64;

    explicit FrameSender(GfPath path = gfBestPath());

    // Builds the fragments of the next frame at the given parity ratio and calls emit with each
    // body in send order (block by block, data shards first). False, nothing emitted, for an
    // empty frame or one above the largest the blocks can carry. The frame id advances only
    // for frames that are sent.
    [[nodiscard]] bool send(std::span<const std::uint8_t> frame, const VideoFrameInfo& info,
                            double ratio,
                            const std::function<void(std::span<const std::uint8_t>)>& emit);

    // Calls emit with the body of each requested (block, shard) still in history, the
    // retransmission flag set, while the window's budget lasts: max(bitrate / 8 / 10 x 15%,
    // 16000) bytes per 100 ms. Returns the number re-sent.
    std::size_t repair(std::uint32_t frameId, std::span<const std::uint8_t> pairs,
                       std::uint64_t bitrate, std::int64_t now,
                       const std::function<void(std::span<const std::uint8_t>)>& emit);

  private:
    struct SentFrame {
        std::uint32_t id = 0;
        std::size_t stride = 0;                 // bytes per body: header + shard size of block 0
        std::vector<std::uint8_t> bodies;       // every fragment body, stride bytes apart
        std::vector<std::size_t> bodySizes;     // actual length of each body
        std::vector<std::size_t> blockFirst;    // index of each block's first fragment
        std::vector<std::uint8_t> blockShards;  // k + m of each block
    };

    ReedSolomon codec_;
    std::uint32_t nextFrameId_ = 0;
    std::deque<SentFrame> history_;  // oldest first
    std::vector<FecBlock> layout_;
    std::vector<std::uint8_t> scratch_;
    std::int64_t windowStart_ = 0;
    std::uint64_t windowSpent_ = 0;
    bool windowOpen_ = false;
};

}  // namespace vel::stream
