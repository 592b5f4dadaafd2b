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

}  // namespace vel::stream
