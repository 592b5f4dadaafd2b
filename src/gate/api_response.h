#pragma once

#include <cstdint>
#include <string_view>

#include "core/json.h"
#include "gate/http_message.h"

namespace vel::gate {

// {"ok": true, "version": 1}, to which an endpoint appends its members.
JsonValue OkObject();

// Status, reason ("OK", "Bad Request", "Forbidden", "Not Found", otherwise "Error") and the
// compact JSON body.
void SendJson(HttpResponse& response, std::uint16_t status, const JsonValue& value);

// {"ok": false, "version": 1, "error": code, "message": message}.
void SendError(HttpResponse& response, std::uint16_t status, std::string_view code, std::string_view message);

}  // namespace vel::gate
