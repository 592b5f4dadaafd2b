#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/little_endian.h"

namespace vel::stream {

// Datagram layout: header (type u8, connection id u32, packet number u64), sealed records, tag.
constexpr std::size_t kHeaderSize = 13;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kPacketOverhead = kHeaderSize + kTagSize;
// Kept below every path MTU we expect, so no datagram is ever fragmented by IP.
constexpr std::size_t kMaxPacketSize = 1200;
constexpr std::size_t kMaxPayloadSize = kMaxPacketSize - kPacketOverhead;

enum class PacketType : std::uint8_t { Handshake = 1, Data = 2 };

struct PacketHeader {
    std::uint8_t type = 0;
    std::uint32_t connId = 0;
    std::uint64_t number = 0;
};

inline void writeHeader(const PacketHeader& header, std::uint8_t* out) {
    out[0] = header.type;
    storeLe32(out + 1, header.connId);
    storeLe64(out + 5, header.number);
}

inline PacketHeader readHeader(const std::uint8_t* in) {
    return PacketHeader{in[0], loadLe32(in + 1), loadLe64(in + 5)};
}

}  // namespace vel::stream
