#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/crypto.h"

namespace vel::gate {

// Authenticator data flags.
inline constexpr std::uint8_t kFlagUserPresent = 0x01;
inline constexpr std::uint8_t kFlagUserVerified = 0x04;
inline constexpr std::uint8_t kFlagAttestedData = 0x40;
inline constexpr std::uint8_t kFlagExtensionData = 0x80;

// Credential ids are 1..1023 bytes long.
inline constexpr std::size_t kMaxCredentialIdLength = 1023;

struct AuthenticatorData {
    Bytes rpIdHash;  // 32 bytes
    std::uint8_t flags = 0;
    std::uint32_t signCount = 0;
    // Attested credential data, present only when the AT flag is set.
    bool hasAttestedData = false;
    Bytes aaguid;  // 16 bytes
    Bytes credentialId;
    CoseKey credentialPublicKey;
};

// The authData byte string and, when format is given, the "fmt" text (empty when absent) of an
// attestation object. The attestation statement is not examined.
[[nodiscard]] bool ParseAttestationObject(std::span<const std::uint8_t> attestationObject,
                                          Bytes& authData, std::string* format = nullptr);

// Structure of authenticator data, which must end exactly where its last part ends.
[[nodiscard]] bool ParseAuthenticatorData(std::span<const std::uint8_t> data,
                                          AuthenticatorData& out);

// Checks type, challenge, origin and crossOrigin of clientDataJSON, in that order. error, when
// given, receives the text of the first failing check.
[[nodiscard]] bool VerifyClientData(std::span<const std::uint8_t> clientDataJson,
                                    std::string_view expectedType, const Bytes& expectedChallenge,
                                    std::string_view expectedOrigin, std::string* error = nullptr);

// What an assertion signature covers: authData followed by SHA-256(clientDataJSON).
Bytes AssertionSignedData(const Bytes& authData, const Bytes& clientDataJson);

// SHA-256 of the relying-party id.
Bytes RpIdHash();

}  // namespace vel::gate
