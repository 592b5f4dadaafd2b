#pragma once

#include <string>

#include "core/json.h"

namespace vel::client {

// How long the gate blocks an address after too many failures.
inline constexpr int kRateLimitBlockSeconds = 300;

// One sentence a user understands for a refusal of the gate: its HTTP status and its error body
// {"ok":false,"error":code,"message":text}. address is the gate as the user named it.
std::string ExplainGateError(int status, const JsonValue& body, const std::string& address);

}  // namespace vel::client
