#include "client/command_support.h"

#include <cstdio>
#include <memory>

#include "client/gate_sign_in.h"
#include "client/security_key.h"

namespace vel::client {

int Fail(const std::string& sentence) {
    std::fprintf(stderr, "velmora-client: %s\n", sentence.c_str());
    return 1;
}

bool LoadKnownHosts(const ClientEnvironment& environment, KnownHosts& hosts, std::string& error) {
    if (environment.hostsPath.empty()) {
        error =
            "cannot tell where to keep the saved gates: neither XDG_CONFIG_HOME nor HOME is "
            "set to an absolute path";
        return false;
    }
    hosts = KnownHosts(environment.hostsPath);
    return hosts.load(error);
}

GateConnection ConnectionFor(const GateAddress& address, const KnownHosts& hosts,
                             const ClientOptions& options, bool firstUse) {
    const KnownHost* saved = hosts.find(address.text());
    TrustOptions trust;
    trust.pinnedFingerprint = options.fingerprint;
    trust.acceptNew = options.acceptNewCertificate;
    trust.firstUseAllowed = firstUse;
    return GateConnection(
        address, saved != nullptr ? saved->fingerprint : std::string(), trust,
        [](const std::string& note) { std::fprintf(stderr, "%s\n", note.c_str()); });
}

std::optional<GateConnection> SignInWithKey(const ClientOptions& options,
                                            ClientEnvironment& environment, bool wantStreamToken,
                                            const std::string& signedIn, JsonValue& granted,
                                            std::string& error) {
    GateAddress address;
    if (!ParseGateAddress(options.operands[0], address, error)) return std::nullopt;
    KnownHosts hosts("");
    if (!LoadKnownHosts(environment, hosts, error)) return std::nullopt;
    std::unique_ptr<SecurityKey> key =
        SecurityKey::open(environment.devices, options.device, error);
    if (!key) return std::nullopt;

    GateConnection gate = ConnectionFor(address, hosts, options, false);
    if (!SignIn(gate, *key, environment.pins, wantStreamToken, granted, error)) {
        return std::nullopt;
    }
    if (gate.certificateToSave()) {
        hosts.trust(address.text(), gate.certificate().sha256, granted.get("machine").asString());
        std::string saveError;
        if (!hosts.save(saveError)) Fail(signedIn + ", but " + saveError);
    }
    return gate;
}

}  // namespace vel::client
