#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/crypto.h"
#include "core/json.h"
#include "gate/cbor.h"

namespace vel::gate {

// A COSE_Key map (EC2 or RSA) as an authenticator sends it. False for anything else; entries
// other than the ones a key needs are ignored.
[[nodiscard]] bool DecodeCoseKey(const CborValue& map, CoseKey& out);
// The same for the first CBOR item of data.
[[nodiscard]] bool DecodeCoseKey(std::span<const std::uint8_t> data, CoseKey& out);

// Whether a credential key is one the gate lets in: ES256 on a valid P-256 point, or RS256 with a
// modulus of at least 2048 bits and the exponent 65537. Anything else could be a key that nobody
// holds the private half of, or whose signatures anyone can forge. On false, why says what is
// wrong in a sentence fit for a log line and an error answer.
[[nodiscard]] bool CheckCredentialKey(const CoseKey& key, std::string& why);

// The stored form of a key in gate.json: {"alg", "kty", then "crv", "x", "y" or "n", "e"}.
JsonValue CoseKeyToJson(const CoseKey& key);
[[nodiscard]] bool CoseKeyFromJson(const JsonValue& json, CoseKey& out);

}  // namespace vel::gate
