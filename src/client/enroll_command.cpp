#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "client/client_commands.h"
#include "client/command_support.h"
#include "client/key_ceremony.h"
#include "client/webauthn_payload.h"
#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::client {

namespace {

// Names the key after the account and workstation it was enrolled from unless told otherwise.
std::string defaultLabel() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const char* user = std::getenv("USER");
    return std::string(user != nullptr ? user : "user") + "@" + host;
}

bool sameHex(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int RunEnroll(const ClientOptions& options, ClientEnvironment& environment) {
    std::string error;
    GateAddress address;
    if (!ParseGateAddress(options.operands[0], address, error)) return Fail(error);
    const std::string& code = options.operands[1];
    KnownHosts hosts("");
    if (!LoadKnownHosts(environment, hosts, error)) return Fail(error);
    std::unique_ptr<SecurityKey> key =
        SecurityKey::open(environment.devices, options.device, error);
    if (!key) return Fail(error);

    GateConnection gate = ConnectionFor(address, hosts, options, true);
    JsonValue hello;
    if (!gate.call("/v1/hello", JsonValue::object(), hello, error)) return Fail(error);
    const std::string machine = hello.get("machine").asString();
    if (!hello.get("enrollmentOpen").asBool()) {
        return Fail("no enrollment code is active on " + machine +
                    " (it expired or was used); ask for a new one with `velmora code` on the gate");
    }
    JsonValue begin = JsonValue::object();
    begin.set("code", code);
    JsonValue creation;
    if (!gate.call("/v1/enroll/begin", begin, creation, error)) return Fail(error);

    Bytes challenge, userId;
    if (!Base64Decode(creation.get("challenge").asString(), challenge) || challenge.empty() ||
        !Base64Decode(creation.get("userId").asString(), userId) || userId.empty()) {
        return Fail("the gate's enrollment options are incomplete");
    }
    const Bytes clientData =
        ClientDataJson("webauthn.create", challenge, creation.get("origin").asString());
    CredentialRequest request;
    request.rpId = creation.get("rpId").asString();
    request.rpName = creation.get("rpName").asString();
    request.userId = userId;
    request.userName = creation.get("userName").asString();
    request.userDisplayName = creation.get("userDisplayName").asString();
    request.clientDataHash = Sha256(clientData);
    request.userVerification = creation.get("requireUserVerification").asBool();
    NewCredential credential;
    KeyFailure failure = KeyFailure::None;
    if (!CreateOnKey(*key, environment.pins, request, credential, failure, error)) {
        return Fail(error);
    }

    const std::string label = options.label.empty() ? defaultLabel() : options.label;
    JsonValue finish = JsonValue::object();
    finish.set("code", code);
    finish.set("credentialId", Base64UrlEncode(credential.credentialId));
    finish.set("attestationObject",
               Base64UrlEncode(NoneAttestationObject(credential.authenticatorData)));
    finish.set("clientDataJSON", Base64UrlEncode(clientData));
    finish.set("label", label);
    JsonValue enrolled;
    if (!gate.call("/v1/enroll/finish", finish, enrolled, error)) return Fail(error);

    // The gate names the certificate it serves; a different one on this connection means someone
    // in between terminated TLS.
    const std::string thumbprint = enrolled.get("certThumbprint").asString();
    if (!sameHex(thumbprint, gate.certificate().sha1)) {
        return Fail("the gate reports the certificate thumbprint " +
                    (thumbprint.empty() ? std::string("(none)") : thumbprint) +
                    " but this connection showed " + gate.certificate().sha1 +
                    ": the connection may be intercepted. The gate was not saved; check its "
                    "certificate and enroll again.");
    }
    hosts.trust(address.text(), gate.certificate().sha256, enrolled.get("machine").asString());
    hosts.addKey(address.text(), {enrolled.get("credentialId").asString(), label,
                                  static_cast<std::int64_t>(::time(nullptr))});
    if (!hosts.save(error)) return Fail("the key was enrolled, but " + error);

    std::printf("enrolled key '%s' on %s (%s); %lld key(s) enrolled there\n", label.c_str(),
                machine.c_str(), address.text().c_str(),
                static_cast<long long>(enrolled.get("enrolledKeys").asInt()));
    if (enrolled.get("justArmed").asBool()) {
        std::printf("protection is armed: the RDP port is now closed to everyone without a key\n");
    }
    std::printf("open it with: velmora-client connect %s\n", options.operands[0].c_str());
    return 0;
}

}  // namespace vel::client
