#include "stream/record_codec.h"

#include <cstring>

namespace vel::stream {

std::size_t varintSize(std::uint64_t value) {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

std::size_t writeVarint(std::uint64_t value, std::uint8_t* out) {
    std::size_t i = 0;
    while (value >= 0x80) {
        out[i++] = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[i++] = static_cast<std::uint8_t>(value);
    return i;
}

bool readVarint(std::span<const std::uint8_t> in, std::size_t& offset, std::uint64_t& value) {
    std::uint64_t result = 0;
    for (std::size_t group = 0; group < kMaxVarintBytes; ++group) {
        if (offset >= in.size()) return false;
        const std::uint8_t byte = in[offset++];
        result |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * group);
        if ((byte & 0x80) == 0) {
            value = result;
            return true;
        }
    }
    return false;
}

bool RecordReader::next(Record& record) {
    if (offset_ >= payload_.size()) return false;
    const std::uint8_t type = payload_[offset_++];
    std::uint64_t length = 0;
    if (!readVarint(payload_, offset_, length) || length > payload_.size() - offset_) {
        offset_ = payload_.size();
        return false;
    }
    record.type = type;
    record.body = payload_.subspan(offset_, static_cast<std::size_t>(length));
    offset_ += static_cast<std::size_t>(length);
    return true;
}

std::size_t RecordWriter::bodyRoom() const {
    const std::size_t left = payload_.size() - size_;
    if (left < 2) return 0;
    // The largest body whose header and body still fit.
    std::size_t room = left - 2;
    while (room > 0 && 1 + varintSize(room) + room > left) --room;
    return room;
}

std::uint8_t* RecordWriter::begin(RecordType type, std::size_t bodySize) {
    const std::size_t needed = 1 + varintSize(bodySize) + bodySize;
    if (needed > payload_.size() - size_) return nullptr;
    std::uint8_t* out = payload_.data() + size_;
    out[0] = static_cast<std::uint8_t>(type);
    const std::size_t header = 1 + writeVarint(bodySize, out + 1);
    size_ += header + bodySize;
    return out + header;
}

bool RecordWriter::append(RecordType type, std::span<const std::uint8_t> body) {
    std::uint8_t* out = begin(type, body.size());
    if (out == nullptr) return false;
    if (!body.empty()) std::memcpy(out, body.data(), body.size());
    return true;
}

}  // namespace vel::stream
