#include <future>
#include <system_error>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/time.h"
#include "core/version.h"
#include "gate/api_response.h"
#include "gate/ceremony_payload.h"
#include "gate/cose_key.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "gate/relying_party.h"
#include "gate/webauthn.h"
#include "os/log.h"

namespace vel::gate {

namespace {

constexpr const char* kGetCeremony = "webauthn.get";

// A token is asked for with true or a non-zero number; any other value asks for none.
bool wants(const JsonValue& value) {
    return (value.isBool() && value.boolValue()) || (value.isNumber() && value.numberValue() != 0);
}

// Counters only move forward; 0 is accepted only from an authenticator that never counted.
bool counterAdvances(std::uint32_t stored, std::uint32_t presented) {
    return presented == 0 ? stored == 0 : presented > stored;
}

}  // namespace

void HandleAuthBegin(GateService& gate, const HttpRequest& request, const JsonValue&, HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    if (!gate.guard().rateLimitAllows(address)) {
        return SendError(response, 429, "rate_limited", "too many attempts from this address");
    }
    const std::vector<Credential> credentials = gate.store().credentials();
    if (credentials.empty()) {
        return SendError(response, 409, "no_credentials_enrolled",
                         "no FIDO key is enrolled on this machine, so RDP cannot be opened");
    }
    const Bytes challenge = gate.guard().issueChallenge(address, kGetCeremony);
    const GateConfig config = gate.store().config();
    JsonValue allowed = JsonValue::array();
    for (const Credential& credential : credentials) {
        if (!credential.disabled) allowed.push(credential.id);
    }
    JsonValue answer = OkObject();
    answer.set("challenge", Base64UrlEncode(challenge));
    answer.set("rpId", kRelyingPartyId);
    answer.set("origin", RelyingPartyOrigin());
    answer.set("machine", config.machineName);
    answer.set("requireUserVerification", config.requireUserVerification);
    answer.set("timeoutMs", 120000);
    answer.set("allowCredentials", allowed);
    SendJson(response, 200, answer);
}

void HandleAuthFinish(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    SessionGuard& guard = gate.guard();
    if (!guard.rateLimitAllows(address)) {
        return SendError(response, 429, "rate_limited", "too many attempts from this address");
    }
    Bytes credentialId, authData, clientDataJson, signature;
    if (!DecodeBinaryMember(body, "credentialId", credentialId) || !DecodeBinaryMember(body, "authenticatorData", authData) ||
        !DecodeBinaryMember(body, "clientDataJSON", clientDataJson) || !DecodeBinaryMember(body, "signature", signature)) {
        return SendError(response, 400, "bad_request", "malformed assertion payload");
    }
    Credential credential;
    if (!gate.store().findCredential(Base64UrlEncode(credentialId), credential)) {
        guard.recordFailure(address);
        if (gate.warnings().allow(address, UnixNow()))
            Log(LogLevel::Warn, "assertion from %s used an unknown credential", address.c_str());
        return SendError(response, 403, "unknown_credential", "this key is not enrolled on this machine");
    }
    // A stored key that no relying party would have accepted may be one whose signatures anyone
    // can forge; it is refused until it is enrolled again.
    std::string unusable;
    if (!CheckCredentialKey(credential.publicKey, unusable)) {
        guard.recordFailure(address);
        Log(LogLevel::Warn, "assertion from %s refused: the stored key '%s' is unusable: %s", address.c_str(),
            credential.label.c_str(), unusable.c_str());
        return SendError(response, 403, "unknown_credential", "this key's stored public key is unusable; enroll it again");
    }
    Bytes challenge;
    if (!ReadClientDataChallenge(clientDataJson, challenge, response)) return;
    if (!guard.consumeChallenge(challenge, address, kGetCeremony)) {
        guard.recordFailure(address);
        return SendError(response, 403, "challenge_expired", "this challenge is unknown, already used or expired");
    }
    std::string mismatch;
    if (!VerifyClientData(clientDataJson, kGetCeremony, challenge, RelyingPartyOrigin(), &mismatch)) {
        guard.recordFailure(address);
        return SendError(response, 403, "bad_request", mismatch);
    }
    const GateConfig config = gate.store().config();
    AuthenticatorData parsed;
    const AuthenticatorDataCheck check =
        CheckAuthenticatorData(authData, config.requireUserVerification, parsed, response);
    if (check == AuthenticatorDataCheck::UserNotConfirmed) guard.recordFailure(address);
    if (check != AuthenticatorDataCheck::Passed) return;
    if (!VerifySignature(credential.publicKey, AssertionSignedData(authData, clientDataJson), signature)) {
        guard.recordFailure(address);
        Log(LogLevel::Warn, "signature check failed for key '%s' from %s", credential.label.c_str(), address.c_str());
        return SendError(response, 403, "bad_signature", "the assertion signature is not valid");
    }
    if (!counterAdvances(credential.signCount, parsed.signCount)) {
        guard.recordFailure(address);
        Log(LogLevel::Error, "counter regression for key '%s': stored %u, presented %u", credential.label.c_str(),
            credential.signCount, parsed.signCount);
        return SendError(response, 403, "counter_replay", "the key's signature counter did not advance");
    }
    // The new counter (gate.json) and the grant (firewall.json, then the port) are durable writes
    // to different files. Side by side, an authentication waits for the slower of the two rather
    // than both in turn; the answer still waits for both, as the future joins on every path out.
    const auto recordUse = [&gate, &credential, &parsed] {
        return gate.store().recordUse(credential.id, parsed.signCount);
    };
    std::future<bool> counted;
    try {
        counted = std::async(std::launch::async, recordUse);
    } catch (const std::system_error&) {  // no thread to be had: one after the other
        static_cast<void>(recordUse());
    }
    const bool wantsStream = wants(body.get("wantStreamToken"));

    std::int64_t expiresAt = 0;
    std::string error = "the source address could not be determined";
    if (!request.peer || !guard.grant(*request.peer, credential.label, expiresAt, error)) {
        Log(LogLevel::Error, "assertion accepted but the firewall rule failed: %s", error.c_str());
        return SendError(response, 500, "internal_error",
                         "access was authorised but the firewall rule could not be created: " + error);
    }
    guard.recordSuccess(address);

    JsonValue answer = OkObject();
    answer.set("machine", config.machineName);
    answer.set("rdpPort", int(config.rdpPort));
    answer.set("clientIp", address);
    answer.set("grantSeconds", config.grantSeconds);
    answer.set("expiresAt", expiresAt);
    answer.set("credentialLabel", credential.label);
    answer.set("gateVersion", kProgramVersion);
    if (wants(body.get("wantUpdateToken"))) {
        answer.set("updateToken", Base64UrlEncode(gate.updateTokens().issue(address, UnixNow())));
    }
    if (wantsStream) answer.set("streamToken", Base64UrlEncode(gate.streams().issueStreamToken(address)));
    SendJson(response, 200, answer);
}

void HandleRevoke(GateService& gate, const HttpRequest& request, const JsonValue&, HttpResponse& response) {
    JsonValue answer = OkObject();
    answer.set("revoked", gate.guard().revoke(request.remoteAddress));
    SendJson(response, 200, answer);
}

}  // namespace vel::gate
