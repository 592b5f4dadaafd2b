#include "stream/frame_sender.h"

#include <algorithm>
#include <cstring>

namespace vel::stream {

namespace {

constexpr std::int64_t kRepairWindow = 100000;
constexpr std::uint64_t kMinRepairBudget = 16000;

}  // namespace

FrameSender::FrameSender(GfPath path) : codec_(path) {}

bool FrameSender::send(std::span<const std::uint8_t> frame, const VideoFrameInfo& info,
                       double ratio,
                       const std::function<void(std::span<const std::uint8_t>)>& emit) {
    if (!planFecBlocks(frame.size(), ratio, layout_)) return false;
    SentFrame sent;
    sent.id = nextFrameId_++;
    // A later block can have fewer data shards and so longer ones than block 0 (54,241 bytes
    // make 25 shards of 1,085 and 24 of 1,130): every slot fits the longest shard there is.
    sent.stride = kVideoFragmentHeaderSize + kFecShardBytes;
    std::size_t fragments = 0;
    for (const FecBlock& block : layout_) {
        sent.blockFirst.push_back(fragments);
        sent.blockShards.push_back(
            static_cast<std::uint8_t>(block.dataShards + block.parityShards));
        fragments += block.dataShards + block.parityShards;
    }
    sent.bodies.assign(fragments * sent.stride, 0);
    sent.bodySizes.assign(fragments, 0);

    VideoFragmentHeader header;
    header.frameId = sent.id;
    header.flags =
        static_cast<std::uint8_t>((info.keyframe ? kFragmentKeyframe : 0) |
                                  (info.requestedKeyframe ? kFragmentRequestedKeyframe : 0));
    header.codec = info.codec;
    header.blockCount = static_cast<std::uint8_t>(layout_.size());
    header.frameSize = static_cast<std::uint32_t>(frame.size());
    header.captureTimestamp = info.captureTimestamp;
    header.encodeDuration =
        static_cast<std::uint16_t>(std::clamp<std::int64_t>(info.encodeMicros / 10, 0, 65535));

    std::vector<const std::uint8_t*> data;
    std::vector<std::uint8_t*> parity;
    for (std::size_t b = 0; b < layout_.size(); ++b) {
        const FecBlock& block = layout_[b];
        header.blockIndex = static_cast<std::uint8_t>(b);
        header.dataShards = block.dataShards;
        header.parityShards = block.parityShards;
        header.blockSize = block.length;
        header.shardSize = block.shardSize;
        data.clear();
        parity.clear();
        const std::size_t shards = block.dataShards + block.parityShards;
        for (std::size_t s = 0; s < shards; ++s) {
            const std::size_t index = sent.blockFirst[b] + s;
            std::uint8_t* body = sent.bodies.data() + index * sent.stride;
            header.shardIndex = static_cast<std::uint8_t>(s);
            encodeVideoFragmentHeader(header, body);
            std::uint8_t* shard = body + kVideoFragmentHeaderSize;
            if (s < block.dataShards) {
                // Data shard s holds block bytes [s x shardSize, ...), the last one zero-padded.
                const std::size_t from = block.offset + s * block.shardSize;
                const std::size_t end =
                    std::min<std::size_t>(from + block.shardSize, block.offset + block.length);
                std::memcpy(shard, frame.data() + from, end - from);
                data.push_back(shard);
            } else {
                parity.push_back(shard);
            }
            sent.bodySizes[index] = kVideoFragmentHeaderSize + block.shardSize;
        }
        if (!parity.empty()) codec_.encode(data, parity, block.shardSize);
    }
    for (std::size_t i = 0; i < fragments; ++i) {
        emit(std::span(sent.bodies.data() + i * sent.stride, sent.bodySizes[i]));
    }
    history_.push_back(std::move(sent));
    while (history_.size() > kHistoryFrames) history_.pop_front();
    return true;
}

std::size_t FrameSender::repair(std::uint32_t frameId, std::span<const std::uint8_t> pairs,
                                std::uint64_t bitrate, std::int64_t now,
                                const std::function<void(std::span<const std::uint8_t>)>& emit) {
    if (!windowOpen_ || now - windowStart_ > kRepairWindow) {
        windowOpen_ = true;
        windowStart_ = now;
        windowSpent_ = 0;
    }
    const std::uint64_t budget =
        std::max<std::uint64_t>(bitrate / 8 / 10 * 15 / 100, kMinRepairBudget);
    const auto frame = std::find_if(history_.begin(), history_.end(),
                                    [&](const SentFrame& f) { return f.id == frameId; });
    if (frame == history_.end()) return 0;
    std::size_t resent = 0;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        const std::uint8_t block = pairs[i];
        const std::uint8_t shard = pairs[i + 1];
        if (block >= frame->blockFirst.size() || shard >= frame->blockShards[block]) continue;
        const std::size_t index = frame->blockFirst[block] + shard;
        const std::size_t size = frame->bodySizes[index];
        if (windowSpent_ + size > budget) break;
        windowSpent_ += size;
        std::uint8_t* body = frame->bodies.data() + index * frame->stride;
        body[4] |= kFragmentRetransmission;
        emit(std::span<const std::uint8_t>(body, size));
        ++resent;
    }
    return resent;
}

}  // namespace vel::stream
