#pragma once

#include <string>

#include "client/gate_connection.h"
#include "client/pin_prompt.h"
#include "client/security_key.h"
#include "core/json.h"

namespace vel::client {

// Signs in to the gate with the key: /v1/auth/begin, the assertion on the key, /v1/auth/finish.
// True with the gate's grant (and a "streamToken" in it when asked for); false with one sentence.
[[nodiscard]] bool SignIn(GateConnection& gate, SecurityKey& key, PinPrompt& pins,
                          bool wantStreamToken, JsonValue& granted, std::string& error);

}  // namespace vel::client
