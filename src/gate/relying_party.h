#pragma once

#include <string>
#include <string_view>

namespace vel::gate {

// The gate is its own WebAuthn relying party. Credentials are scoped to this id, so changing it
// orphans every enrolled key.
inline constexpr std::string_view kRelyingPartyId = "gate.velmora.net";

// The origin clients must report in their client data.
inline std::string RelyingPartyOrigin() {
    return "https://" + std::string(kRelyingPartyId);
}

}  // namespace vel::gate
