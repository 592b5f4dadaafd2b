#include "client/command_support.h"

#include <cstdio>

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

}  // namespace vel::client
