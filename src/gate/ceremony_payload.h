#pragma once

#include "core/bytes.h"
#include "core/json.h"
#include "gate/http_message.h"
#include "gate/webauthn.h"

namespace vel::gate {

// Decoding shared by the enrollment and authentication finish requests.

// A base64 (either alphabet) member that decodes to at least one byte.
[[nodiscard]] bool DecodeBinaryMember(const JsonValue& body, const char* name, Bytes& out);

// The challenge named by a clientDataJSON; on failure the 400 answer is already in response.
[[nodiscard]] bool ReadClientDataChallenge(const Bytes& clientDataJson, Bytes& challenge,
                                           HttpResponse& response);

// Checking the authenticator data of either ceremony: anything but Passed has been answered.
// UserNotConfirmed (no presence, or no verification where the gate requires it) is the one
// failure a signature could not have avoided, so an assertion counts it against the address.
enum class AuthenticatorDataCheck { Passed, Rejected, UserNotConfirmed };
[[nodiscard]] AuthenticatorDataCheck CheckAuthenticatorData(const Bytes& authData,
                                                            bool requireUserVerification,
                                                            AuthenticatorData& parsed,
                                                            HttpResponse& response);

}  // namespace vel::gate
