#include "support/cbor_writer.h"

#include "admin/self_test_support.h"

namespace vel::test {

CborWriter& CborWriter::integer(std::int64_t value) {
    return raw(admin::CborInteger(value));
}

CborWriter& CborWriter::bytes(const Bytes& value) {
    return raw(admin::CborByteString(value));
}

CborWriter& CborWriter::text(std::string_view value) {
    return raw(admin::CborTextString(value));
}

CborWriter& CborWriter::array(std::uint64_t count) {
    return raw(admin::CborArrayHead(count));
}

CborWriter& CborWriter::map(std::uint64_t pairs) {
    return raw(admin::CborMapHead(pairs));
}

CborWriter& CborWriter::raw(const Bytes& encoded) {
    out_.insert(out_.end(), encoded.begin(), encoded.end());
    return *this;
}

}  // namespace vel::test
