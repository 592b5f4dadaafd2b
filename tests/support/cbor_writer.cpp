#include "support/cbor_writer.h"

namespace vel::test {

CborWriter& CborWriter::head(int major, std::uint64_t argument) {
    const auto type = static_cast<std::uint8_t>(major << 5);
    if (argument < 24) {
        out_.push_back(static_cast<std::uint8_t>(type | argument));
        return *this;
    }
    // Additional information 24..27 announce 1, 2, 4 or 8 argument bytes.
    int info = 24;
    while (info < 27 && argument >> (8 << (info - 24)) != 0) ++info;
    out_.push_back(static_cast<std::uint8_t>(type | info));
    for (int i = (1 << (info - 24)) - 1; i >= 0; --i) {
        out_.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
    }
    return *this;
}

CborWriter& CborWriter::integer(std::int64_t value) {
    return value >= 0 ? head(0, static_cast<std::uint64_t>(value))
                      : head(1, static_cast<std::uint64_t>(-1 - value));
}

CborWriter& CborWriter::bytes(const Bytes& value) {
    head(2, value.size());
    return raw(value);
}

CborWriter& CborWriter::text(std::string_view value) {
    head(3, value.size());
    out_.insert(out_.end(), value.begin(), value.end());
    return *this;
}

CborWriter& CborWriter::array(std::uint64_t count) {
    return head(4, count);
}

CborWriter& CborWriter::map(std::uint64_t pairs) {
    return head(5, pairs);
}

CborWriter& CborWriter::raw(const Bytes& encoded) {
    out_.insert(out_.end(), encoded.begin(), encoded.end());
    return *this;
}

}  // namespace vel::test
