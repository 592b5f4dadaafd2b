#pragma once

#include <string>

#include "client/pin_prompt.h"
#include "client/security_key.h"

namespace vel::client {

// The key's side of enrollment and sign-in with the PIN handled as the key and the gate want it:
// asked for when the key has one and the operation needs it, asked for once more when the key
// says it needs one after all. "touch your security key" is shown while the key waits.
// failure says what the key refused, None when the refusal came before the key was asked.
[[nodiscard]] bool CreateOnKey(SecurityKey& key, PinPrompt& pins, const CredentialRequest& request,
                               NewCredential& out, KeyFailure& failure, std::string& error);
[[nodiscard]] bool AssertOnKey(SecurityKey& key, PinPrompt& pins, const AssertionRequest& request,
                               KeyAssertion& out, KeyFailure& failure, std::string& error);

}  // namespace vel::client
