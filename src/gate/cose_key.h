#pragma once

#include <cstdint>
#include <span>

#include "core/crypto.h"
#include "core/json.h"
#include "gate/cbor.h"

namespace vel::gate {

// A COSE_Key map (EC2 or RSA) as an authenticator sends it. False for anything else; entries
// other than the ones a key needs are ignored.
[[nodiscard]] bool DecodeCoseKey(const CborValue& map, CoseKey& out);
// The same for the first CBOR item of data.
[[nodiscard]] bool DecodeCoseKey(std::span<const std::uint8_t> data, CoseKey& out);

// The stored form of a key in gate.json: {"alg", "kty", then "crv", "x", "y" or "n", "e"}.
JsonValue CoseKeyToJson(const CoseKey& key);
[[nodiscard]] bool CoseKeyFromJson(const JsonValue& json, CoseKey& out);

}  // namespace vel::gate
