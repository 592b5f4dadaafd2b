#include "client/client_usage.h"

#include <cstdio>

namespace vel::client {

namespace {

constexpr const char* kUsage[] = {
    "velmora-client - open a Velmora gate with your FIDO2 security key",
    "",
    "  velmora-client enroll HOST[:PORT] CODE [--label TEXT]",
    "        Enroll your security key on the gate with a code from `velmora code`.",
    "        Trusts the gate's certificate and saves it with the host.",
    "",
    "  velmora-client connect HOST[:PORT] [--rdp-command CMD] [--no-rdp]",
    "        Open the gate's RDP port for your address with your key, then start the",
    "        remote desktop: xfreerdp, or CMD run by /bin/sh with $VELMORA_HOST and",
    "        $VELMORA_RDP_PORT set. The port stays open while that session lives.",
    "",
    "  velmora-client revoke HOST[:PORT]   Close the port for your address now",
    "  velmora-client hosts                Saved gates, their certificates and keys",
    "  velmora-client help                 This text",
    "",
    "  --device PATH             enroll, connect: the key to use (default: the first found)",
    "  --fingerprint HEX         trust only a gate certificate with this SHA-256 fingerprint",
    "  --accept-new-certificate  accept a gate certificate that differs from the saved one",
    "",
    "  PORT defaults to 7440. Saved gates live in $XDG_CONFIG_HOME/velmora/hosts.json",
    "  (~/.config/velmora/hosts.json when XDG_CONFIG_HOME is not set).",
};

}  // namespace

void PrintClientUsage() {
    for (const char* line : kUsage) std::printf("%s\n", line);
}

}  // namespace vel::client
