#include "stream/frame_assembler.h"

#include <algorithm>
#include <cstring>

namespace vel::stream {
namespace {

constexpr int kMaxNackRounds = 3;
constexpr std::size_t kMaxNackPairs = 200;
constexpr std::int64_t kGiveUpSlack = 50000;
// Frames held ahead of the one awaited; a sender that is further ahead has moved on.
constexpr std::uint64_t kMaxFramesAhead = 64;
// Incomplete frames may hold this much; beyond it the oldest are given up.
constexpr std::size_t kMaxBufferedBytes = 64 * 1024 * 1024;

constexpr std::uint8_t kRetransmission = 0x02;

bool shapeValid(const FrameShard& s) {
    return s.dataShards >= 1 && s.dataShards <= kFecMaxDataShards &&
           s.parityShards <= kFecMaxParityShards && s.blockCount >= 1 &&
           s.blockCount <= kFecMaxBlocks && s.blockIndex < s.blockCount &&
           s.shardIndex < s.dataShards + s.parityShards && s.frameSize >= 1 &&
           s.frameSize <= kFecMaxFrameBytes && s.data.size() == s.shardSize;
}

}  // namespace

FrameAssembler::FrameAssembler(GfPath path) : codec_(path) {}

std::int64_t FrameAssembler::nackDelay(std::int64_t smoothedRtt) {
    return std::clamp<std::int64_t>(2 * smoothedRtt + 2000, 3000, 40000);
}

void FrameAssembler::add(const FrameShard& shard, std::int64_t now,
                         std::vector<AssembledFrame>& ready) {
    if (!shapeValid(shard)) {
        ++counters_.rejectedShards;
        return;
    }
    if (!started_) {
        started_ = true;
        next_ = shard.frameId;
    }
    // Frame ids are 32 bits on the wire and wrap; compare them as a serial number with next_.
    const auto diff = static_cast<std::int32_t>(shard.frameId - static_cast<std::uint32_t>(next_));
    if (diff < 0) {
        ++counters_.lateShards;
        return;
    }
    const std::uint64_t id = next_ + static_cast<std::uint64_t>(diff);
    if (id >= next_ + kMaxFramesAhead) {
        // Everything older than the window behind this frame is skipped at once.
        const std::uint64_t newNext = id - kMaxFramesAhead + 1;
        while (!frames_.empty() && frames_.begin()->first < newNext) {
            bufferedBytes_ -= frameBytes(frames_.begin()->second);
            frames_.erase(frames_.begin());
        }
        counters_.givenUp += newNext - next_;
        next_ = newNext;
    }

    auto [it, inserted] = frames_.try_emplace(id);
    Frame& frame = it->second;
    if (inserted) frame.firstSeen = now;
    if (!accept(frame, shard, now)) {
        ++counters_.rejectedShards;
        if (inserted) frames_.erase(it);
        return;
    }
    // Give up the oldest frames while too much is held, never the one just fed.
    while (bufferedBytes_ > kMaxBufferedBytes && frames_.begin()->first != id) giveUpHead();
    release(ready);
}

bool FrameAssembler::accept(Frame& frame, const FrameShard& shard, std::int64_t now) {
    const auto frameFlags = static_cast<std::uint8_t>(shard.flags & ~kRetransmission);
    if (!frame.seen) {
        // The layout follows from the frame size alone; a shard that disagrees is corrupt.
        if (!planFecBlocks(shard.frameSize, 0, frame.layout) ||
            frame.layout.size() != shard.blockCount) {
            return false;
        }
        frame.flags = frameFlags;
        frame.codec = shard.codec;
        frame.size = shard.frameSize;
        frame.captureTimestamp = shard.captureTimestamp;
        frame.encodeDuration = shard.encodeDuration;
        frame.blocks.assign(shard.blockCount, Block{});
    } else if (frame.size != shard.frameSize || frame.codec != shard.codec ||
               frame.captureTimestamp != shard.captureTimestamp ||
               ((frame.flags ^ frameFlags) & 0x01) != 0) {
        return false;
    }
    const FecBlock& layout = frame.layout[shard.blockIndex];
    if (layout.dataShards != shard.dataShards || layout.shardSize != shard.shardSize ||
        layout.length != shard.blockSize) {
        return false;
    }
    Block& block = frame.blocks[shard.blockIndex];
    if (!block.buffer.empty() && block.parity != shard.parityShards) return false;
    frame.seen = true;
    frame.lastActivity = now;

    if (block.done) return true;
    if (block.buffer.empty()) {
        block.parity = shard.parityShards;
        const std::size_t shards = std::size_t{shard.dataShards} + shard.parityShards;
        block.buffer.assign(shards * shard.shardSize, 0);
        block.present.assign(shards, false);
        bufferedBytes_ += block.buffer.size();
    }
    if (block.present[shard.shardIndex]) return true;
    std::memcpy(&block.buffer[std::size_t{shard.shardIndex} * shard.shardSize], shard.data.data(),
                shard.shardSize);
    block.present[shard.shardIndex] = true;
    frame.lastProgress = now;
    if (++block.received == shard.dataShards) completeBlock(frame, block, layout);
    return true;
}

void FrameAssembler::completeBlock(Frame& frame, Block& block, const FecBlock& layout) {
    const std::size_t k = layout.dataShards;
    const std::size_t total = k + block.parity;
    if (!std::all_of(block.present.begin(), block.present.begin() + static_cast<long>(k),
                     [](bool p) { return p; })) {
        std::vector<std::uint8_t*> shards(total);
        bool present[kFecMaxDataShards + kFecMaxParityShards];
        for (std::size_t i = 0; i < total; ++i) {
            shards[i] = &block.buffer[i * layout.shardSize];
            present[i] = block.present[i];
        }
        // k shards are present, so the code always succeeds.
        if (!codec_.reconstruct(k, shards, std::span(present, total), layout.shardSize)) return;
        ++counters_.recoveredBlocks;
    }
    // Only the block's bytes stay; the parity is no longer needed.
    bufferedBytes_ -= block.buffer.size();
    block.buffer.resize(layout.length);
    block.buffer.shrink_to_fit();
    bufferedBytes_ += block.buffer.size();
    block.present.clear();
    block.done = true;
    ++frame.blocksDone;
}

void FrameAssembler::release(std::vector<AssembledFrame>& ready) {
    for (auto it = frames_.begin(); it != frames_.end() && it->first == next_;) {
        Frame& frame = it->second;
        if (!frame.seen || frame.blocksDone != frame.blocks.size()) return;
        AssembledFrame out;
        out.frameId = static_cast<std::uint32_t>(it->first);
        out.flags = frame.flags;
        out.codec = frame.codec;
        out.captureTimestamp = frame.captureTimestamp;
        out.encodeDuration = frame.encodeDuration;
        out.data.reserve(frame.size);
        for (const Block& block : frame.blocks) {
            out.data.insert(out.data.end(), block.buffer.begin(), block.buffer.end());
        }
        bufferedBytes_ -= frameBytes(frame);
        ready.push_back(std::move(out));
        ++counters_.delivered;
        it = frames_.erase(it);
        ++next_;
    }
}

void FrameAssembler::giveUpHead() {
    const auto it = frames_.find(next_);
    if (it != frames_.end()) {
        bufferedBytes_ -= frameBytes(it->second);
        frames_.erase(it);
    }
    ++counters_.givenUp;
    ++next_;
}

std::size_t FrameAssembler::frameBytes(const Frame& frame) const {
    std::size_t bytes = 0;
    for (const Block& block : frame.blocks) bytes += block.buffer.size();
    return bytes;
}

void FrameAssembler::runTimers(std::int64_t now, std::int64_t smoothedRtt,
                               std::vector<NackRequest>& nacks,
                               std::vector<AssembledFrame>& ready) {
    const std::int64_t delay = nackDelay(smoothedRtt);

    // The awaited frame is given up once something newer exists and it has had its chance since
    // its last new shard: three NACK rounds and the answer to the last. A frame of which nothing
    // arrived is timed from the first shard of the next frame that did.
    while (!frames_.empty()) {
        const auto head = frames_.begin();
        if (head->first == next_ && frames_.size() == 1) break;
        const Frame& frame = head->second;
        const std::int64_t since =
            head->first == next_ && frame.seen ? frame.lastProgress : frame.firstSeen;
        if (now - since < 4 * delay + kGiveUpSlack) break;
        giveUpHead();
        release(ready);
    }

    for (auto& [id, frame] : frames_) {
        if (!frame.seen || frame.nackRounds >= kMaxNackRounds) continue;
        if (now - frame.lastActivity < delay) continue;
        NackRequest request;
        request.frameId = static_cast<std::uint32_t>(id);
        for (std::size_t b = 0; b < frame.blocks.size(); ++b) {
            const Block& block = frame.blocks[b];
            if (block.done) continue;
            const std::size_t k = frame.layout[b].dataShards;
            // Exactly as many data shards as the block lacks: any k rebuild it.
            std::size_t need = k - block.received;
            for (std::size_t s = 0; s < k && need > 0; ++s) {
                if (!block.present.empty() && block.present[s]) continue;
                if (request.shards.size() == kMaxNackPairs) break;
                request.shards.emplace_back(static_cast<std::uint8_t>(b),
                                            static_cast<std::uint8_t>(s));
                --need;
            }
        }
        if (request.shards.empty()) continue;
        ++frame.nackRounds;
        frame.lastActivity = now;
        nacks.push_back(std::move(request));
    }
}

}  // namespace vel::stream
