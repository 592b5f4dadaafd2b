#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "stream/fec.h"
#include "stream/fec_layout.h"

namespace vel::stream {

// One received VideoFragment: its header fields and the shard bytes.
struct FrameShard {
    std::uint32_t frameId = 0;
    std::uint8_t flags = 0;  // bit 0 keyframe, bit 1 retransmission, bit 2 requested keyframe
    std::uint8_t codec = 0;
    std::uint8_t blockIndex = 0;
    std::uint8_t blockCount = 0;
    std::uint8_t shardIndex = 0;
    std::uint8_t dataShards = 0;
    std::uint8_t parityShards = 0;
    std::uint32_t frameSize = 0;
    std::uint32_t blockSize = 0;
    std::uint16_t shardSize = 0;
    std::uint64_t captureTimestamp = 0;
    std::uint16_t encodeDuration = 0;  // units of 10 microseconds
    std::span<const std::uint8_t> data;
};

// A frame rebuilt from its shards.
struct AssembledFrame {
    std::uint32_t frameId = 0;
    std::uint8_t flags = 0;  // of the frame's first shard, without the retransmission bit
    std::uint8_t codec = 0;
    std::uint64_t captureTimestamp = 0;
    std::uint16_t encodeDuration = 0;
    Bytes data;
};

// A Nack's content: shards of one frame to send again, as (block index, shard index) pairs.
struct NackRequest {
    std::uint32_t frameId = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> shards;
};

// The viewer's frame reassembly: shards are collected per block, any k of a block's k + m
// rebuild it, and frames are released in frame order. Missing shards are asked for again
// after clamp(2 x RTT + 2 ms, 3 ms, 40 ms) without news of the frame, in at most three rounds;
// a frame still incomplete when a newer one exists and 4 NACK delays + 50 ms have passed since
// its last new shard is given up, so one lost frame cannot hold the stream. Timing from the last
// new shard rather than the first lets a frame that takes longer to cross a slow link than that
// (a large keyframe) arrive whole instead of being given up, and asked for, again and again.
// Shards whose header contradicts the frame's layout are rejected. Times are session microseconds; reads no clock.
class FrameAssembler {
  public:
    struct Counters {
        std::uint64_t delivered = 0;
        std::uint64_t givenUp = 0;
        std::uint64_t recoveredBlocks = 0;  // needed the erasure code
        std::uint64_t rejectedShards = 0;   // header inconsistent with the frame
        std::uint64_t lateShards = 0;       // for frames already released or given up
    };

    explicit FrameAssembler(GfPath path = gfBestPath());

    // Takes one shard; frames that complete in order are appended to ready.
    void add(const FrameShard& shard, std::int64_t now, std::vector<AssembledFrame>& ready);

    // The timer round: due NACKs are appended to nacks, frames released by giving up older
    // ones to ready. smoothedRtt is the session's RTT estimate.
    void runTimers(std::int64_t now, std::int64_t smoothedRtt, std::vector<NackRequest>& nacks,
                   std::vector<AssembledFrame>& ready);

    const Counters& counters() const { return counters_; }
    // Bytes held in incomplete frames.
    std::size_t bufferedBytes() const { return bufferedBytes_; }

    static std::int64_t nackDelay(std::int64_t smoothedRtt);

  private:
    struct Block {
        std::uint8_t parity = 0;
        std::vector<std::uint8_t> buffer;  // k + m shards of shardSize, data first
        std::vector<bool> present;
        std::uint8_t received = 0;
        bool done = false;
    };
    struct Frame {
        bool seen = false;  // false: a placeholder for a frame of which nothing arrived
        std::uint8_t flags = 0;
        std::uint8_t codec = 0;
        std::uint32_t size = 0;
        std::uint64_t captureTimestamp = 0;
        std::uint16_t encodeDuration = 0;
        std::vector<FecBlock> layout;
        std::vector<Block> blocks;
        std::size_t blocksDone = 0;
        std::int64_t firstSeen = 0;
        std::int64_t lastActivity = 0;  // last shard or Nack
        std::int64_t lastProgress = 0;  // last shard not held before
        int nackRounds = 0;
    };

    bool accept(Frame& frame, const FrameShard& shard, std::int64_t now);
    void completeBlock(Frame& frame, Block& block, const FecBlock& layout);
    void release(std::vector<AssembledFrame>& ready);
    void giveUpHead();
    std::size_t frameBytes(const Frame& frame) const;

    ReedSolomon codec_;
    bool started_ = false;
    std::uint64_t next_ = 0;                 // unwrapped id of the next frame to release
    std::map<std::uint64_t, Frame> frames_;  // by unwrapped frame id
    std::size_t bufferedBytes_ = 0;
    Counters counters_;
};

}  // namespace vel::stream
