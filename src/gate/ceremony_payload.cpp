#include "gate/ceremony_payload.h"

#include <string>

#include "core/encoding.h"
#include "gate/api_response.h"

namespace vel::gate {

bool DecodeBinaryMember(const JsonValue& body, const char* name, Bytes& out) {
    return Base64Decode(body.get(name).asString(), out) && !out.empty();
}

bool ReadClientDataChallenge(const Bytes& clientDataJson, Bytes& challenge, HttpResponse& response) {
    JsonValue clientData;
    if (!JsonParse(std::string(clientDataJson.begin(), clientDataJson.end()), clientData) || !clientData.isObject()) {
        SendError(response, 400, "bad_request", "clientDataJSON is not JSON");
        return false;
    }
    if (!Base64Decode(clientData.get("challenge").asString(), challenge)) {
        SendError(response, 400, "bad_request", "clientDataJSON has no usable challenge");
        return false;
    }
    return true;
}

}  // namespace vel::gate
