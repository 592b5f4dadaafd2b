#include <cstring>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/time.h"
#include "gate/api_response.h"
#include "gate/ceremony_payload.h"
#include "gate/cose_key.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "gate/relying_party.h"
#include "gate/webauthn.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::gate {

namespace {

constexpr const char* kCreateCeremony = "webauthn.create";

void sendRateLimited(HttpResponse& response) {
    SendError(response, 429, "rate_limited", "too many attempts from this address");
}

// Explains a refused code in the log: which file the service read and what it found there, because
// "the code was not accepted" is otherwise hard to diagnose from the client's side.
void logRejectedCode(GateService& gate, const std::string& address, const std::string& code) {
    const std::string file = JoinPath(gate.dataDirectory(), "enrollment.json");
    const bool active = gate.store().enrollmentOpen();
    const std::string expires = active ? FormatLocalTime(gate.store().enrollmentExpiresAt()) : "-";
    Log(LogLevel::Warn,
        "enrollment rejected from %s: code check failed. file=%s, file_exists=%s, active_code=%s, expires=%s, "
        "submitted_length=%zu",
        address.c_str(), file.c_str(), FileExists(file) ? "yes" : "NO", active ? "yes" : "NO", expires.c_str(),
        NormalizeEnrollmentCode(code).size());
    if (!active) {
        Log(LogLevel::Warn,
            "  -> the service sees no active code. Issue one on THIS machine (Velmora.exe code) and verify it: "
            "Velmora.exe check-code CODE");
    } else {
        Log(LogLevel::Warn,
            "  -> an active code exists, but a different one was submitted. Each 'code' run voids the previous "
            "code - use the most recent one.");
    }
}

// The common first steps of both enrollment endpoints; false when an answer has been sent.
bool admitEnrollment(GateService& gate, const HttpRequest& request, const std::string& code, HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    if (!gate.guard().rateLimitAllows(address)) {
        sendRateLimited(response);
        return false;
    }
    if (!gate.store().checkEnrollmentCode(code)) {
        gate.guard().recordFailure(address);
        logRejectedCode(gate, address, code);
        SendError(response, 403, "bad_enrollment_code",
                  "the code was not accepted by machine " + gate.store().config().machineName +
                      "; see gate.log for details");
        return false;
    }
    return true;
}

Bytes userIdFor(const GateConfig& config) {
    Bytes id;
    if (config.gateId.size() == 32 && HexDecode(config.gateId, id) && id.size() == 16) return id;
    Log(LogLevel::Warn, "gate id is missing; falling back to one derived from the machine name");
    Bytes digest = Sha256(BytesOf("velmora/user/" + config.machineName));
    digest.resize(16);
    return digest;
}

std::string cleanLabel(const std::string& label) {
    const std::string valid = ValidUtf8(label);
    const char* blanks = " \t\n\v\f\r";
    const size_t first = valid.find_first_not_of(blanks);
    if (first == std::string::npos) return "FIDO key";
    return Utf8Prefix(valid.substr(first, valid.find_last_not_of(blanks) - first + 1), kMaxLabelBytes);
}

}  // namespace

void HandleEnrollBegin(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response) {
    if (!admitEnrollment(gate, request, body.get("code").asString(), response)) return;
    const GateConfig config = gate.store().config();
    const Bytes challenge = gate.guard().issueChallenge(request.remoteAddress, kCreateCeremony);
    const std::string shortId = config.gateId.substr(0, 6);

    JsonValue answer = OkObject();
    answer.set("challenge", Base64UrlEncode(challenge));
    answer.set("rpId", kRelyingPartyId);
    answer.set("rpName", "Velmora");
    answer.set("origin", RelyingPartyOrigin());
    answer.set("machine", config.machineName);
    answer.set("userId", Base64UrlEncode(userIdFor(config)));
    answer.set("userName", config.machineName + " (RDP " + shortId + ")");
    answer.set("userDisplayName", "RDP " + config.machineName + " \xC2\xB7 " + shortId);
    answer.set("requireUserVerification", config.requireUserVerification);
    answer.set("timeoutMs", 120000);
    answer.set("excludeCredentials", JsonValue::array());
    SendJson(response, 200, answer);
}

void HandleEnrollFinish(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    const std::string code = body.get("code").asString();
    if (!admitEnrollment(gate, request, code, response)) return;

    Bytes credentialId, attestationObject, clientDataJson;
    if (!DecodeBinaryMember(body, "credentialId", credentialId) ||
        !DecodeBinaryMember(body, "attestationObject", attestationObject) ||
        !DecodeBinaryMember(body, "clientDataJSON", clientDataJson)) {
        return SendError(response, 400, "bad_request", "malformed registration payload");
    }
    Bytes challenge;
    if (!ReadClientDataChallenge(clientDataJson, challenge, response)) return;
    if (!gate.guard().consumeChallenge(challenge, address, kCreateCeremony)) {
        gate.guard().recordFailure(address);
        return SendError(response, 403, "challenge_expired", "this challenge is unknown, already used or expired");
    }
    std::string mismatch;
    if (!VerifyClientData(clientDataJson, kCreateCeremony, challenge, RelyingPartyOrigin(), &mismatch)) {
        gate.guard().recordFailure(address);
        return SendError(response, 403, "bad_request", mismatch);
    }
    Bytes authData;
    std::string format;
    if (!ParseAttestationObject(attestationObject, authData, &format)) {
        return SendError(response, 400, "bad_request", "the attestation object could not be decoded");
    }
    const GateConfig config = gate.store().config();
    AuthenticatorData parsed;
    if (CheckAuthenticatorData(authData, config.requireUserVerification, parsed, response) !=
        AuthenticatorDataCheck::Passed) {
        return;
    }
    if (!parsed.hasAttestedData) {
        return SendError(response, 400, "bad_request", "no attested credential data was supplied");
    }
    if (credentialId != parsed.credentialId) {
        return SendError(response, 400, "bad_request", "the credential id does not match the attested one");
    }
    std::string unusable;
    if (!CheckCredentialKey(parsed.credentialPublicKey, unusable)) {
        Log(LogLevel::Warn, "enrollment from %s refused: %s", address.c_str(), unusable.c_str());
        return SendError(response, 400, "bad_request", "this credential key is not accepted: " + unusable);
    }
    if (!gate.store().consumeEnrollmentCode(code)) {
        return SendError(response, 403, "bad_enrollment_code", "the enrollment code was used concurrently");
    }

    Credential credential;
    credential.id = Base64UrlEncode(parsed.credentialId);
    credential.publicKey = parsed.credentialPublicKey;
    credential.signCount = parsed.signCount;
    credential.label = cleanLabel(body.get("label").asString());
    credential.aaguid = HexEncode(parsed.aaguid);
    credential.createdAt = UnixNow();
    std::string error;
    const AddCredentialResult added = gate.store().addCredential(credential, error);
    if (added == AddCredentialResult::Conflict) {
        Log(LogLevel::Warn, "enrollment from %s refused: credential %s is already enrolled with another key",
            address.c_str(), credential.id.c_str());
        return SendError(response, 409, "credential_conflict", "this credential id is already enrolled with another key");
    }
    if (added == AddCredentialResult::Failed) {
        Log(LogLevel::Error, "cannot persist the new credential: %s", error.c_str());
        return SendError(response, 500, "internal_error", "the credential could not be saved");
    }
    gate.guard().recordSuccess(address);
    Log(LogLevel::Info, "enrolled key '%s' (%s, attestation '%s') from %s", credential.label.c_str(),
        credential.aaguid.c_str(), format.c_str(), address.c_str());

    bool justArmed = false;
    if (!gate.guard().isArmed()) {
        gate.guard().armProtection();
        Log(LogLevel::Info, "first key enrolled - the RDP port is now closed to everyone else");
        justArmed = true;
    }
    JsonValue answer = OkObject();
    answer.set("credentialId", credential.id);
    answer.set("machine", config.machineName);
    answer.set("rdpPort", int(config.rdpPort));
    answer.set("certThumbprint", config.certThumbprint);
    answer.set("enrolledKeys", std::int64_t(gate.store().activeCredentialCount()));
    answer.set("protectionArmed", gate.guard().isArmed());
    answer.set("justArmed", justArmed);
    SendJson(response, 200, answer);
}

}  // namespace vel::gate
