#include "client/gate_sign_in.h"

#include "client/key_ceremony.h"
#include "client/webauthn_payload.h"
#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::client {

bool SignIn(GateConnection& gate, SecurityKey& key, PinPrompt& pins, bool wantStreamToken,
            JsonValue& granted, std::string& error) {
    const std::string address = gate.address().text();
    JsonValue offer;
    if (!gate.call("/v1/auth/begin", JsonValue::object(), offer, error)) return false;
    AssertionRequest request;
    const JsonValue& allowed = offer.get("allowCredentials");
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        Bytes id;
        if (Base64Decode(allowed.at(i).asString(), id) && !id.empty()) {
            request.allowedCredentials.push_back(id);
        }
    }
    if (request.allowedCredentials.empty()) {
        error = "every key enrolled on " + address + " is disabled; ask its administrator";
        return false;
    }
    Bytes challenge;
    if (!Base64Decode(offer.get("challenge").asString(), challenge) || challenge.empty()) {
        error = "the gate's sign-in options are incomplete";
        return false;
    }
    const Bytes clientData =
        ClientDataJson("webauthn.get", challenge, offer.get("origin").asString());
    request.rpId = offer.get("rpId").asString();
    request.clientDataHash = Sha256(clientData);
    request.userVerification = offer.get("requireUserVerification").asBool();
    KeyAssertion assertion;
    KeyFailure failure = KeyFailure::None;
    if (!AssertOnKey(key, pins, request, assertion, failure, error)) {
        if (failure == KeyFailure::NotEnrolled) {
            error = "this security key is not enrolled on " + address +
                    "; enroll it with `velmora-client enroll " + address + " CODE`";
        }
        return false;
    }

    JsonValue finish = JsonValue::object();
    finish.set("credentialId", Base64UrlEncode(assertion.credentialId));
    finish.set("authenticatorData", Base64UrlEncode(assertion.authenticatorData));
    finish.set("clientDataJSON", Base64UrlEncode(clientData));
    finish.set("signature", Base64UrlEncode(assertion.signature));
    if (wantStreamToken) finish.set("wantStreamToken", true);
    return gate.call("/v1/auth/finish", finish, granted, error);
}

}  // namespace vel::client
