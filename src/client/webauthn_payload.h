#pragma once

#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vel::client {

// clientDataJSON as a browser writes it for the ceremony type ("webauthn.create" or
// "webauthn.get"), the challenge (raw bytes, written base64url) and the origin the gate names.
Bytes ClientDataJson(std::string_view type, const Bytes& challenge, std::string_view origin);

// The CBOR attestation object {"fmt": "none", "attStmt": {}, "authData": authenticatorData}: the
// gate trusts keys on enrollment, not their makers, so no attestation statement is forwarded.
Bytes NoneAttestationObject(const Bytes& authenticatorData);

}  // namespace vel::client
