#include <cstddef>
#include <cstdint>
#include <span>

#include "gate/webauthn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vel::gate::AuthenticatorData parsed;
    if (!vel::gate::ParseAuthenticatorData(std::span(data, size), parsed)) return 0;
    if (parsed.rpIdHash.size() != 32) __builtin_trap();
    const bool attested = (parsed.flags & vel::gate::kFlagAttestedData) != 0;
    if (attested != parsed.hasAttestedData) __builtin_trap();
    if (attested) {
        const std::size_t idLength = parsed.credentialId.size();
        if (parsed.aaguid.size() != 16 || idLength == 0 ||
            idLength > vel::gate::kMaxCredentialIdLength || 55 + idLength >= size) {
            __builtin_trap();
        }
        const vel::CoseKey& key = parsed.credentialPublicKey;
        if (key.x.empty() == key.n.empty()) __builtin_trap();
    } else if ((parsed.flags & vel::gate::kFlagExtensionData) == 0 && size != 37) {
        __builtin_trap();
    }
    return 0;
}
