#include "stream/record_bodies.h"

#include "stream/little_endian.h"

namespace vel::stream {

void encodeHello(const HelloBody& body, std::uint8_t* out) {
    storeLe32(out, body.version);
    out[4] = body.role;
    storeLe32(out + 5, body.connId);
    storeLe64(out + 9, body.clock);
}

bool decodeHello(std::span<const std::uint8_t> in, HelloBody& body) {
    if (in.size() < kHelloSize) return false;
    body.version = loadLe32(in.data());
    body.role = in[4];
    body.connId = loadLe32(in.data() + 5);
    body.clock = loadLe64(in.data() + 9);
    return true;
}

void encodePing(const PingBody& body, std::uint8_t* out) {
    storeLe32(out, body.counter);
    storeLe64(out + 4, body.clock);
}

bool decodePing(std::span<const std::uint8_t> in, PingBody& body) {
    if (in.size() < kPingSize) return false;
    body.counter = loadLe32(in.data());
    body.clock = loadLe64(in.data() + 4);
    return true;
}

void encodeAck(const AckBody& body, std::uint8_t* out) {
    out[0] = body.channel;
    storeLe32(out + 1, body.next);
    storeLe32(out + 5, body.bitmap);
}

bool decodeAck(std::span<const std::uint8_t> in, AckBody& body) {
    if (in.size() < kAckSize) return false;
    body.channel = in[0];
    body.next = loadLe32(in.data() + 1);
    body.bitmap = loadLe32(in.data() + 5);
    return true;
}

void encodeReliableHeader(std::uint8_t channel, std::uint32_t sequence, std::uint8_t* out) {
    out[0] = channel;
    storeLe32(out + 1, sequence);
}

bool decodeReliable(std::span<const std::uint8_t> in, ReliableBody& body) {
    if (in.size() <= kReliableHeaderSize) return false;
    body.channel = in[0];
    body.sequence = loadLe32(in.data() + 1);
    body.fragment = in.subspan(kReliableHeaderSize);
    return true;
}

void encodeAudioHeader(std::uint32_t sequence, std::uint64_t timestamp, std::uint8_t codec,
                       std::uint8_t* out) {
    storeLe32(out, sequence);
    storeLe64(out + 4, timestamp);
    out[12] = codec;
}

bool decodeAudio(std::span<const std::uint8_t> in, AudioBody& body) {
    if (in.size() < kAudioHeaderSize) return false;
    body.sequence = loadLe32(in.data());
    body.timestamp = loadLe64(in.data() + 4);
    body.codec = in[12];
    body.data = in.subspan(kAudioHeaderSize);
    return true;
}

void encodeVideoFragmentHeader(const VideoFragmentHeader& header, std::uint8_t* out) {
    storeLe32(out, header.frameId);
    out[4] = header.flags;
    out[5] = header.codec;
    out[6] = header.blockIndex;
    out[7] = header.blockCount;
    out[8] = header.shardIndex;
    out[9] = header.dataShards;
    out[10] = header.parityShards;
    out[11] = 0;
    storeLe32(out + 12, header.frameSize);
    storeLe32(out + 16, header.blockSize);
    storeLe16(out + 20, header.shardSize);
    storeLe32(out + kVideoSendTimeOffset, header.sendTime);
    storeLe64(out + 26, header.captureTimestamp);
    storeLe16(out + 34, header.encodeDuration);
    storeLe16(out + 36, 0);
}

bool decodeVideoFragment(std::span<const std::uint8_t> in, VideoFragmentHeader& header,
                         std::span<const std::uint8_t>& shard) {
    if (in.size() < kVideoFragmentHeaderSize) return false;
    const std::uint8_t* p = in.data();
    header.frameId = loadLe32(p);
    header.flags = p[4];
    header.codec = p[5];
    header.blockIndex = p[6];
    header.blockCount = p[7];
    header.shardIndex = p[8];
    header.dataShards = p[9];
    header.parityShards = p[10];
    header.frameSize = loadLe32(p + 12);
    header.blockSize = loadLe32(p + 16);
    header.shardSize = loadLe16(p + 20);
    header.sendTime = loadLe32(p + kVideoSendTimeOffset);
    header.captureTimestamp = loadLe64(p + 26);
    header.encodeDuration = loadLe16(p + 34);
    shard = in.subspan(kVideoFragmentHeaderSize);
    return header.blockCount >= 1 && header.blockCount <= 64 &&
           header.blockIndex < header.blockCount && header.dataShards >= 1 &&
           header.dataShards <= 48 && header.parityShards <= 24 &&
           header.shardIndex < header.dataShards + header.parityShards && header.shardSize > 0 &&
           shard.size() == header.shardSize;
}

void encodeFeedback(const FeedbackBody& body, std::uint8_t* out) {
    storeLe64(out, body.highestPacket);
    storeLe32(out + 8, body.packetsReceived);
    storeLe32(out + 12, body.packetsJudged);
    storeLe32(out + 16, body.receiveRate);
    storeLe32(out + 20, body.queuingDelay);
    storeLe32(out + 24, static_cast<std::uint32_t>(body.delayTrend));
    for (std::size_t i = 0; i < body.pipeline.size(); ++i) {
        storeLe32(out + 28 + 4 * i, body.pipeline[i]);
    }
}

bool decodeFeedback(std::span<const std::uint8_t> in, FeedbackBody& body) {
    if (in.size() < kFeedbackSize) return false;
    const std::uint8_t* p = in.data();
    body.highestPacket = loadLe64(p);
    body.packetsReceived = loadLe32(p + 8);
    body.packetsJudged = loadLe32(p + 12);
    body.receiveRate = loadLe32(p + 16);
    body.queuingDelay = loadLe32(p + 20);
    body.delayTrend = static_cast<std::int32_t>(loadLe32(p + 24));
    for (std::size_t i = 0; i < body.pipeline.size(); ++i) {
        body.pipeline[i] = loadLe32(p + 28 + 4 * i);
    }
    return true;
}

void encodeNackHeader(std::uint32_t frameId, std::uint16_t count, std::uint8_t* out) {
    storeLe32(out, frameId);
    storeLe16(out + 4, count);
}

bool decodeNack(std::span<const std::uint8_t> in, NackBody& body) {
    if (in.size() < kNackHeaderSize) return false;
    body.frameId = loadLe32(in.data());
    const std::size_t count = loadLe16(in.data() + 4);
    if (in.size() - kNackHeaderSize < 2 * count) return false;
    body.pairs = in.subspan(kNackHeaderSize, 2 * count);
    return true;
}

}  // namespace vel::stream
