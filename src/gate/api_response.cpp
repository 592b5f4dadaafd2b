#include "gate/api_response.h"

namespace vel::gate {

namespace {

const char* reasonFor(std::uint16_t status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        default: return "Error";
    }
}

}  // namespace

JsonValue OkObject() {
    JsonValue value = JsonValue::object();
    value.set("ok", true);
    value.set("version", 1);
    return value;
}

void SendJson(HttpResponse& response, std::uint16_t status, const JsonValue& value) {
    response.status = status;
    response.reason = reasonFor(status);
    response.body = JsonDump(value, -1);
}

void SendError(HttpResponse& response, std::uint16_t status, std::string_view code, std::string_view message) {
    JsonValue value = JsonValue::object();
    value.set("ok", false);
    value.set("version", 1);
    value.set("error", code);
    value.set("message", message);
    SendJson(response, status, value);
}

}  // namespace vel::gate
