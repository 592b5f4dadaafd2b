#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"

namespace vel::test {

// Writes CBOR the way authenticators do: definite lengths and the shortest argument encoding.
// A chaining front for the self-test's encoder, which is kept apart from the gate's decoder so
// that tests check one against the other.
class CborWriter {
  public:
    CborWriter& integer(std::int64_t value);
    CborWriter& bytes(const Bytes& value);
    CborWriter& text(std::string_view value);
    CborWriter& array(std::uint64_t count);
    CborWriter& map(std::uint64_t pairs);
    CborWriter& raw(const Bytes& encoded);

    const Bytes& data() const { return out_; }

  private:
    Bytes out_;
};

}  // namespace vel::test
