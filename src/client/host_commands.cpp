#include <cstdio>
#include <ctime>

#include "client/client_commands.h"
#include "client/command_support.h"

namespace vel::client {

int RunRevoke(const ClientOptions& options, ClientEnvironment& environment) {
    std::string error;
    GateAddress address;
    if (!ParseGateAddress(options.operands[0], address, error)) return Fail(error);
    KnownHosts hosts("");
    if (!LoadKnownHosts(environment, hosts, error)) return Fail(error);
    GateConnection gate = ConnectionFor(address, hosts, options, false);
    JsonValue answer;
    if (!gate.call("/v1/revoke", JsonValue::object(), answer, error)) return Fail(error);
    if (gate.certificateToSave()) {
        hosts.trust(address.text(), gate.certificate().sha256, "");
        if (!hosts.save(error)) Fail("the grant was revoked, but " + error);
    }
    if (answer.get("revoked").asBool()) {
        std::printf("closed: %s no longer lets this address in\n", address.text().c_str());
    } else {
        std::printf("%s had no open grant for this address\n", address.text().c_str());
    }
    return 0;
}

int RunHosts(const ClientOptions&, ClientEnvironment& environment) {
    std::string error;
    KnownHosts hosts("");
    if (!LoadKnownHosts(environment, hosts, error)) return Fail(error);
    if (hosts.hosts().empty()) {
        std::printf("no saved gates; enroll a key with `velmora-client enroll HOST CODE`\n");
        return 0;
    }
    for (const KnownHost& host : hosts.hosts()) {
        std::printf("%s  %s\n", host.address.c_str(), host.machine.c_str());
        std::printf("  certificate SHA-256 %s\n", host.fingerprint.c_str());
        for (const EnrolledKey& key : host.keys) {
            const std::time_t when = static_cast<std::time_t>(key.enrolledAt);
            std::tm local{};
            localtime_r(&when, &local);
            char date[16];
            std::strftime(date, sizeof date, "%Y-%m-%d", &local);
            std::printf("  key '%s' enrolled %s, id %s\n", key.label.c_str(), date,
                        key.credentialId.c_str());
        }
    }
    return 0;
}

}  // namespace vel::client
