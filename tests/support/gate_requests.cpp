#include "support/gate_requests.h"

#include "core/encoding.h"

namespace vel::test {

JsonValue JsonObject(std::initializer_list<std::pair<const char*, JsonValue>> members) {
    JsonValue value = JsonValue::object();
    for (const auto& [key, member] : members) value.set(key, member);
    return value;
}

Bytes ChallengeOf(const JsonValue& beginReply) {
    Bytes challenge;
    if (!Base64Decode(beginReply.get("challenge").asString(), challenge)) challenge.clear();
    return challenge;
}

JsonValue AssertionBody(const Bytes& credentialId, const Assertion& assertion) {
    JsonValue body = JsonValue::object();
    body.set("credentialId", Base64UrlEncode(credentialId));
    body.set("authenticatorData", Base64UrlEncode(assertion.authenticatorData));
    body.set("clientDataJSON", Base64UrlEncode(assertion.clientDataJson));
    body.set("signature", Base64UrlEncode(assertion.signature));
    return body;
}

gate::Credential PlaceholderCredential(const std::string& id, const std::string& label) {
    gate::Credential key;
    key.id = id;
    key.label = label;
    key.publicKey.alg = -7;
    key.publicKey.crv = 1;
    key.publicKey.x = Bytes(32, 0x11);
    key.publicKey.y = Bytes(32, 0x22);
    return key;
}

}  // namespace vel::test
