#include "client/gate_connection.h"

#include "client/gate_errors.h"

namespace vel::client {

GateConnection::GateConnection(GateAddress address, std::string saved, TrustOptions options,
                               Notice notice)
    : address_(std::move(address)),
      saved_(std::move(saved)),
      options_(std::move(options)),
      notice_(std::move(notice)) {}

bool GateConnection::check(const PeerCertificate& presented, std::string& error) {
    const TrustDecision decision = DecideTrust(address_.text(), saved_, presented.sha256, options_);
    if (!decision.trusted) {
        error = decision.message;
        return false;
    }
    certificate_ = presented;
    if (decision.remember) {
        remember_ = true;
        // Later connections of this command must show the same certificate again.
        saved_ = presented.sha256;
        options_.pinnedFingerprint.clear();
        options_.acceptNew = false;
    }
    if (!decision.message.empty() && notice_) notice_(decision.message);
    return true;
}

bool GateConnection::call(const std::string& path, const JsonValue& body, JsonValue& answer,
                          std::string& error) {
    gateStatus_ = 0;
    gateErrorCode_.clear();
    HttpAnswer reply;
    const CertificateCheck pin = [this](const PeerCertificate& presented, std::string& reason) {
        return check(presented, reason);
    };
    if (!HttpsPost(address_, path, JsonDump(body), pin, reply, error)) return false;
    JsonValue parsed;
    const bool isJson = JsonParse(reply.body, parsed) && parsed.isObject();
    if (reply.status == 200 && isJson && parsed.get("ok").asBool()) {
        answer = std::move(parsed);
        return true;
    }
    gateStatus_ = reply.status;
    gateErrorCode_ = parsed.get("error").asString();
    error = ExplainGateError(reply.status, isJson ? parsed : JsonValue::object(), address_.text());
    return false;
}

}  // namespace vel::client
