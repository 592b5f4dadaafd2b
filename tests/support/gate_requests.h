#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "core/bytes.h"
#include "core/json.h"
#include "gate/gate_store.h"
#include "support/software_authenticator.h"

namespace vel::test {

// A JSON object with the members in the order given.
JsonValue JsonObject(std::initializer_list<std::pair<const char*, JsonValue>> members);

// The challenge of a /v1/auth/begin or /v1/enroll/begin answer; empty when it has none.
Bytes ChallengeOf(const JsonValue& beginReply);

// The /v1/auth/finish body for an assertion made with credentialId.
JsonValue AssertionBody(const Bytes& credentialId, const Assertion& assertion);

// The /v1/enroll/finish body for a registration made with key.
JsonValue RegistrationBody(const std::string& code, const SoftwareAuthenticator& key,
                           const Registration& registration, const std::string& label);

// The key as gate.json stores an enrolled credential.
JsonValue StoredCredentialJson(const SoftwareAuthenticator& key, int signCount,
                               const std::string& label);

// An enrolled-looking ES256 credential for tests that only need "a key is enrolled"; its public
// key is not on the curve, so nothing can authenticate with it.
gate::Credential PlaceholderCredential(const std::string& id = "key-1",
                                       const std::string& label = "Key 1");

}  // namespace vel::test
