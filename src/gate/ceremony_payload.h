#pragma once

#include "core/bytes.h"
#include "core/json.h"
#include "gate/http_message.h"

namespace vel::gate {

// Decoding shared by the enrollment and authentication finish requests.

// A base64 (either alphabet) member that decodes to at least one byte.
bool DecodeBinaryMember(const JsonValue& body, const char* name, Bytes& out);

// The challenge named by a clientDataJSON; on failure the 400 answer is already in response.
bool ReadClientDataChallenge(const Bytes& clientDataJson, Bytes& challenge, HttpResponse& response);

}  // namespace vel::gate
