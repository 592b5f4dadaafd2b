#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"

namespace vel {

// Digest names as the callers spell them: "SHA1", "SHA256", "SHA384", "SHA512".
// Without a key the plain hash, with a key the HMAC. Throws vel::Error on failure.
Bytes HashBytes(std::string_view algorithm, const Bytes& data, const Bytes* key = nullptr);
Bytes Sha256(const Bytes& data);
Bytes HmacSha256(const Bytes& key, const Bytes& data);

// Bytes from the system's random generator. Throws vel::Error on failure.
Bytes RandomBytes(std::size_t count);

// Equal length and equal bytes, in time that depends only on the length.
[[nodiscard]] bool ConstantTimeEqual(const Bytes& a, const Bytes& b);

// A credential public key as WebAuthn carries it (COSE).
struct CoseKey {
    std::int32_t alg =
        0;    // -7 ES256, -35 ES384, -36 ES512, -8 EdDSA, -257/-258/-259 RS*, -37 PS256
    Bytes x;  // EC coordinates (x empty for RSA keys)
    Bytes y;
    std::int32_t crv = 0;  // 1 P-256, 2 P-384, 3 P-521
    Bytes n;               // RSA modulus and exponent, big-endian
    Bytes e;
};

// True when x and y (32 bytes each) are a point on P-256 that passes OpenSSL's public-key check.
[[nodiscard]] bool IsValidP256Point(const Bytes& x, const Bytes& y) noexcept;

// True only when signature is a valid signature of data under key. Never throws.
[[nodiscard]] bool VerifySignature(const CoseKey& key, const Bytes& data,
                                   const Bytes& signature) noexcept;

}  // namespace vel
