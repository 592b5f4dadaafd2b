// A received datagram goes through open() and, when it authenticates, its records are walked
// and each body goes to the decoder of its type.
// Random datagrams almost never authenticate, so the input is also sealed under the fuzzer's own
// key as a payload, which drives the record walk on arbitrary plaintext.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/packet_protection.h"
#include "stream/record_bodies.h"
#include "stream/record_codec.h"

using namespace vel::stream;

namespace {

AeadKey& fuzzKey() {
    static AeadKey key;
    static const bool opened = [] {
        DirectionKey direction;
        direction.key.fill(0x42);
        std::string error;
        return openAeadKey(key, direction, error);
    }();
    if (!opened) std::abort();
    return key;
}

// Every body decoder on what a record claims to be; accepted spans must lie inside the body.
void decodeBody(const Record& record) {
    const auto inside = [&](std::span<const std::uint8_t> part) {
        if (part.data() < record.body.data() ||
            part.data() + part.size() > record.body.data() + record.body.size()) {
            std::abort();
        }
    };
    switch (static_cast<RecordType>(record.type)) {
        case RecordType::Hello:
        case RecordType::HelloReply: {
            HelloBody body;
            (void)decodeHello(record.body, body);
            break;
        }
        case RecordType::Ping:
        case RecordType::Pong: {
            PingBody body;
            (void)decodePing(record.body, body);
            break;
        }
        case RecordType::VideoFragment: {
            VideoFragmentHeader header;
            std::span<const std::uint8_t> shard;
            if (decodeVideoFragment(record.body, header, shard)) {
                inside(shard);
                if (header.shardIndex >= header.dataShards + header.parityShards) std::abort();
            }
            break;
        }
        case RecordType::Audio: {
            AudioBody body;
            if (decodeAudio(record.body, body)) inside(body.data);
            break;
        }
        case RecordType::Reliable: {
            ReliableBody body;
            if (decodeReliable(record.body, body)) {
                inside(body.fragment);
                if (body.fragment.empty()) std::abort();
            }
            break;
        }
        case RecordType::Ack: {
            AckBody body;
            (void)decodeAck(record.body, body);
            break;
        }
        case RecordType::Feedback: {
            FeedbackBody body;
            (void)decodeFeedback(record.body, body);
            break;
        }
        case RecordType::Nack: {
            NackBody body;
            if (decodeNack(record.body, body)) inside(body.pairs);
            break;
        }
        default:
            break;
    }
}

void walk(std::span<const std::uint8_t> payload) {
    RecordReader reader(payload);
    Record record;
    std::size_t covered = 0;
    while (reader.next(record)) {
        if (record.body.data() < payload.data() ||
            record.body.data() + record.body.size() > payload.data() + payload.size()) {
            std::abort();
        }
        decodeBody(record);
        covered += 2 + record.body.size();
        if (covered > 2 * payload.size() + 2) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AeadKey& key = fuzzKey();

    // As received: exactly the bytes, in a buffer of exactly their size.
    std::vector<std::uint8_t> datagram(data, data + size);
    std::size_t payloadSize = 0;
    if (open(key, datagram, payloadSize)) {
        walk(std::span(datagram.data() + kHeaderSize, payloadSize));
    }

    // As a payload of ours: seal, open, walk.
    if (size <= kMaxPayloadSize) {
        std::vector<std::uint8_t> packet(kHeaderSize + size + kTagSize);
        writeHeader({2, 7, size + 1}, packet.data());
        if (size > 0) std::memcpy(packet.data() + kHeaderSize, data, size);
        const std::size_t sealed = seal(key, packet, size);
        if (sealed != packet.size()) std::abort();
        if (!open(key, packet, payloadSize) || payloadSize != size ||
            std::memcmp(packet.data() + kHeaderSize, data, size) != 0) {
            std::abort();
        }
        walk(std::span(packet.data() + kHeaderSize, payloadSize));
    }
    return 0;
}
