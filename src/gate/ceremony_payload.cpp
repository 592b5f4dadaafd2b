#include "gate/ceremony_payload.h"

#include <string>

#include "core/crypto.h"
#include "core/encoding.h"
#include "gate/api_response.h"
#include "gate/relying_party.h"

namespace vel::gate {

bool DecodeBinaryMember(const JsonValue& body, const char* name, Bytes& out) {
    return Base64Decode(body.get(name).asString(), out) && !out.empty();
}

bool ReadClientDataChallenge(const Bytes& clientDataJson, Bytes& challenge, HttpResponse& response) {
    JsonValue clientData;
    if (!JsonParse(std::string(clientDataJson.begin(), clientDataJson.end()), clientData) || !clientData.isObject()) {
        SendError(response, 400, "bad_request", "clientDataJSON is not JSON");
        return false;
    }
    if (!Base64Decode(clientData.get("challenge").asString(), challenge)) {
        SendError(response, 400, "bad_request", "clientDataJSON has no usable challenge");
        return false;
    }
    return true;
}

AuthenticatorDataCheck CheckAuthenticatorData(const Bytes& authData, bool requireUserVerification,
                                              AuthenticatorData& parsed, HttpResponse& response) {
    if (!ParseAuthenticatorData(authData, parsed)) {
        SendError(response, 400, "bad_request", "authenticatorData could not be decoded");
        return AuthenticatorDataCheck::Rejected;
    }
    if (!ConstantTimeEqual(parsed.rpIdHash, RpIdHash())) {
        SendError(response, 403, "bad_request", "the relying party id does not match");
        return AuthenticatorDataCheck::Rejected;
    }
    if ((parsed.flags & kFlagUserPresent) == 0) {
        SendError(response, 403, "user_presence_required", "the key did not report user presence");
        return AuthenticatorDataCheck::UserNotConfirmed;
    }
    if (requireUserVerification && (parsed.flags & kFlagUserVerified) == 0) {
        SendError(response, 403, "user_presence_required",
                  "this gate requires user verification (PIN or biometric)");
        return AuthenticatorDataCheck::UserNotConfirmed;
    }
    return AuthenticatorDataCheck::Passed;
}

}  // namespace vel::gate
