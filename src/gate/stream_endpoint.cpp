#include "core/encoding.h"
#include "core/time.h"
#include "core/version.h"
#include "gate/api_response.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "gate/stream_open_request.h"
#include "os/log.h"

namespace vel::gate {

void HandleStreamOpen(GateService& gate, const HttpRequest& request, const JsonValue& body,
                      HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    StreamLauncher& streams = gate.streams();
    const JsonValue& token = body.get("token");
    if (!token.isString() || !streams.consumeStreamToken(token.stringValue(), address)) {
        if (gate.warnings().allow(address, UnixNow()))
            Log(LogLevel::Warn, "stream/open from %s with a bad or expired token", address.c_str());
        return SendError(response, 403, "bad_stream_token",
                         "the stream token is missing, expired, used or belongs to another address");
    }
    if (!request.peer) {
        return SendError(response, 503, "stream_start_failed",
                         "the firewall rule could not be created: the source address could not be determined");
    }
    StreamOpenRequest open;
    if (!ParseStreamOpenRequest(body, *request.peer, open)) {
        return SendError(response, 400, "bad_request", "viewerKey must be an uncompressed P-256 point");
    }
    StreamOpenResult result;
    std::string code;
    std::string message;
    if (!streams.startStream(open, result, code, message)) {
        Log(LogLevel::Warn, "stream/open for %s failed: %s", address.c_str(), message.c_str());
        return SendError(response, code == "bad_stream_token" ? 403 : 503, code, message);
    }
    JsonValue answer = OkObject();
    answer.set("ticket", Base64UrlEncode(result.ticket));
    answer.set("hostKey", Base64UrlEncode(result.hostKey));
    answer.set("connId", std::int64_t(result.connId));
    answer.set("port", int(result.port));
    JsonValue candidates = JsonValue::array();
    for (const std::string& candidate : result.hostCandidates) candidates.push(candidate);
    answer.set("hostCandidates", candidates);
    answer.set("gateVersion", kProgramVersion);
    SendJson(response, 200, answer);
}

}  // namespace vel::gate
