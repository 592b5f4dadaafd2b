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

JsonValue RegistrationBody(const std::string& code, const SoftwareAuthenticator& key,
                           const Registration& registration, const std::string& label) {
    return JsonObject({{"code", code},
                       {"credentialId", Base64UrlEncode(key.credentialId())},
                       {"attestationObject", Base64UrlEncode(registration.attestationObject)},
                       {"clientDataJSON", Base64UrlEncode(registration.clientDataJson)},
                       {"label", label}});
}

JsonValue StoredCredentialJson(const SoftwareAuthenticator& key, int signCount,
                               const std::string& label) {
    const CoseKey publicKey = key.publicKey();
    return JsonObject({{"id", Base64UrlEncode(key.credentialId())},
                       {"publicKey", JsonObject({{"alg", -7},
                                                 {"kty", "EC2"},
                                                 {"crv", 1},
                                                 {"x", Base64UrlEncode(publicKey.x)},
                                                 {"y", Base64UrlEncode(publicKey.y)}})},
                       {"signCount", signCount},
                       {"label", label}});
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
