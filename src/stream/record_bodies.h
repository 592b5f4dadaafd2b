#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vel::stream {

// Fixed bodies of the session's own records. Each decoder checks the exact size the wire
// defines (at least that size where the body may grow) and refuses anything shorter.

constexpr std::uint32_t kProtocolVersion = 1;
constexpr std::size_t kHelloSize = 17;
constexpr std::size_t kPingSize = 12;
constexpr std::size_t kAckSize = 9;
constexpr std::size_t kReliableHeaderSize = 5;  // channel, sequence; then the fragment
constexpr std::size_t kAudioHeaderSize = 13;
constexpr std::size_t kVideoFragmentHeaderSize = 38;
constexpr std::size_t kVideoSendTimeOffset = 22;  // within the VideoFragment body
constexpr std::size_t kFeedbackSize = 44;
constexpr std::size_t kNackHeaderSize = 6;
constexpr std::size_t kMaxNackPairs = 200;

// Hello and HelloReply: version, sender role, connection id, sender clock (echoed in a reply).
struct HelloBody {
    std::uint32_t version = kProtocolVersion;
    std::uint8_t role = 0;
    std::uint32_t connId = 0;
    std::uint64_t clock = 0;
};
void encodeHello(const HelloBody& body, std::uint8_t* out);
[[nodiscard]] bool decodeHello(std::span<const std::uint8_t> in, HelloBody& body);

// Ping and Pong: counter and sender clock (echoed in a Pong).
struct PingBody {
    std::uint32_t counter = 0;
    std::uint64_t clock = 0;
};
void encodePing(const PingBody& body, std::uint8_t* out);
[[nodiscard]] bool decodePing(std::span<const std::uint8_t> in, PingBody& body);

// Ack: every sequence below `next` arrived; bit i of the bitmap: next + 1 + i arrived as well.
struct AckBody {
    std::uint8_t channel = 0;
    std::uint32_t next = 0;
    std::uint32_t bitmap = 0;
};
void encodeAck(const AckBody& body, std::uint8_t* out);
[[nodiscard]] bool decodeAck(std::span<const std::uint8_t> in, AckBody& body);

// Reliable: channel, sequence, then the fragment (flags byte, message bytes).
struct ReliableBody {
    std::uint8_t channel = 0;
    std::uint32_t sequence = 0;
    std::span<const std::uint8_t> fragment;  // never empty once decoded
};
void encodeReliableHeader(std::uint8_t channel, std::uint32_t sequence, std::uint8_t* out);
[[nodiscard]] bool decodeReliable(std::span<const std::uint8_t> in, ReliableBody& body);

// Audio: sequence, capture timestamp, codec, encoded bytes.
struct AudioBody {
    std::uint32_t sequence = 0;
    std::uint64_t timestamp = 0;
    std::uint8_t codec = 0;
    std::span<const std::uint8_t> data;
};
void encodeAudioHeader(std::uint32_t sequence, std::uint64_t timestamp, std::uint8_t codec,
                       std::uint8_t* out);
[[nodiscard]] bool decodeAudio(std::span<const std::uint8_t> in, AudioBody& body);

// VideoFragment: one shard of one FEC block of one encoded frame.
constexpr std::uint8_t kFragmentKeyframe = 1;
constexpr std::uint8_t kFragmentRetransmission = 2;
constexpr std::uint8_t kFragmentRequestedKeyframe = 4;  // produced while a viewer request waited
struct VideoFragmentHeader {
    std::uint32_t frameId = 0;
    std::uint8_t flags = 0;
    std::uint8_t codec = 0;
    std::uint8_t blockIndex = 0;
    std::uint8_t blockCount = 0;    // 1-64
    std::uint8_t shardIndex = 0;    // data shards first, then parity
    std::uint8_t dataShards = 0;    // k, 1-48
    std::uint8_t parityShards = 0;  // m, 0-24
    std::uint32_t frameSize = 0;
    std::uint32_t blockSize = 0;
    std::uint16_t shardSize = 0;
    std::uint32_t sendTime = 0;  // low 32 bits of the sender's clock, stamped as it leaves
    std::uint64_t captureTimestamp = 0;
    std::uint16_t encodeDuration = 0;  // 10 us units
};
void encodeVideoFragmentHeader(const VideoFragmentHeader& header, std::uint8_t* out);
// Refuses counts and indices outside the code's limits and shard bytes that are not exactly
// shardSize long, so a receiver can index by them without further checks.
[[nodiscard]] bool decodeVideoFragment(std::span<const std::uint8_t> in,
                                       VideoFragmentHeader& header,
                                       std::span<const std::uint8_t>& shard);

// Feedback, viewer to host.
struct FeedbackBody {
    std::uint64_t highestPacket = 0;
    std::uint32_t packetsReceived = 0;
    std::uint32_t packetsJudged = 0;
    std::uint32_t receiveRate = 0;   // bits per second
    std::uint32_t queuingDelay = 0;  // microseconds
    std::int32_t delayTrend = 0;
    // The viewer's own pipeline figures (decode time, end-to-end latency, two counters); the
    // host only shows them.
    std::array<std::uint32_t, 4> pipeline{};
};
void encodeFeedback(const FeedbackBody& body, std::uint8_t* out);
[[nodiscard]] bool decodeFeedback(std::span<const std::uint8_t> in, FeedbackBody& body);

// Nack, viewer to host: the (block, shard) pairs of one frame that did not arrive.
struct NackBody {
    std::uint32_t frameId = 0;
    std::span<const std::uint8_t> pairs;  // count x (block index, shard index)
};
// Writes the header for `count` pairs; the pairs follow at out + kNackHeaderSize.
void encodeNackHeader(std::uint32_t frameId, std::uint16_t count, std::uint8_t* out);
[[nodiscard]] bool decodeNack(std::span<const std::uint8_t> in, NackBody& body);

}  // namespace vel::stream
