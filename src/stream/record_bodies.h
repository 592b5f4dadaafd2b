#pragma once

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

}  // namespace vel::stream
