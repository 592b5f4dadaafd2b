#include "client/gate_errors.h"

namespace vel::client {

std::string ExplainGateError(int status, const JsonValue& body, const std::string& address) {
    const std::string code = body.get("error").asString();
    const std::string message = body.get("message").asString();
    if (code == "rate_limited") {
        return "too many failed attempts from this address; try again in " +
               std::to_string(kRateLimitBlockSeconds) + " seconds";
    }
    if (code == "country_not_allowed") return "country not allowed: " + message;
    if (code == "bad_enrollment_code") {
        if (message.find("concurrently") != std::string::npos) {
            return "the enrollment code was just used by another enrollment; ask for a new one "
                   "with `velmora code` on the gate";
        }
        return "enrollment code not accepted: it is wrong, expired or already used; ask for a new "
               "one with `velmora code` on the gate (each new code voids the previous one)";
    }
    if (code == "challenge_expired") {
        return "the gate no longer knew this sign-in attempt (it took more than two minutes, or "
               "your address changed in between); run the command again";
    }
    if (code == "user_presence_required") {
        if (message.find("verification") != std::string::npos) {
            return "this gate requires user verification: your security key must check its PIN "
                   "(or fingerprint), and it did not";
        }
        return "the security key did not confirm that you touched it";
    }
    if (code == "no_credentials_enrolled") {
        return "no security key is enrolled on " + address +
               " yet; enroll one first with "
               "`velmora-client enroll " +
               address + " CODE`";
    }
    if (code == "unknown_credential") {
        return "this security key is not enrolled on " + address + " (or it was removed there)";
    }
    if (code == "bad_signature") {
        return "the gate did not accept the key's signature; the key enrolled there may have been "
               "replaced; enroll this key again";
    }
    if (code == "counter_replay") {
        return "the gate refused the key because its signature counter went backwards, which is "
               "what a cloned key does; tell the gate's administrator";
    }
    if (code == "bad_stream_token") {
        return "the gate did not accept the stream token: it is used once, lives five minutes and "
               "belongs to the address that signed in; run the command again";
    }
    if (code == "stream_disabled") {
        return "streaming is switched off on " + address +
               "; its administrator can switch it on (\"streamEnabled\" in gate.json)";
    }
    if (code == "stream_busy") {
        return address + " is already streaming to as many viewers as it allows; try again when "
               "one of them has finished";
    }
    if (code == "stream_start_failed") {
        return address + " could not start the stream (" + message +
               "); its administrator finds the details in gate.log";
    }
    if (code == "internal_error") {
        return "the gate failed internally (" + message +
               "); its administrator finds the details in gate.log";
    }
    if (code == "bad_request" && (status == 404 || status == 405)) {
        return address + " does not speak this client's protocol (" + message +
               "); is it a Velmora gate of a matching version?";
    }
    if (!code.empty()) return "the gate refused the request: " + message + " (" + code + ")";
    return "the gate answered HTTP " + std::to_string(status) + " without an explanation";
}

}  // namespace vel::client
