// A received datagram goes through open() and, when it authenticates, its records are walked.
// Random datagrams almost never authenticate, so the input is also sealed under the fuzzer's own
// key as a payload, which drives the record walk on arbitrary plaintext.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/packet_protection.h"
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

void walk(std::span<const std::uint8_t> payload) {
    RecordReader reader(payload);
    Record record;
    std::size_t covered = 0;
    while (reader.next(record)) {
        if (record.body.data() < payload.data() ||
            record.body.data() + record.body.size() > payload.data() + payload.size()) {
            std::abort();
        }
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
