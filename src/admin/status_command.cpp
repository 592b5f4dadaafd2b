#include <cstdio>
#include <string>
#include <vector>

#include "admin/admin_commands.h"
#include "admin/kernel_exposure.h"
#include "core/time.h"
#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "gate/cose_key.h"
#include "gate/country_filter.h"
#include "os/nft_runner.h"
#include "os/paths.h"

namespace vel::admin {

using firewall::EnforcementSettings;
using firewall::FileFirewallStore;
using firewall::Firewall;
using firewall::FirewallRuleInfo;
using gate::CheckCredentialKey;
using gate::CountryFilter;
using gate::Credential;
using gate::GateConfig;
using gate::GateStore;

namespace {

std::string format(const char* pattern, auto... values) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, values...);
    return buffer;
}

void printCountryFilter(const GateConfig& config, const LineWriter& out) {
    if (config.allowedCountries.empty()) {
        out("  Country filter: off");
        return;
    }
    std::string codes;
    for (const std::string& code : config.allowedCountries)
        codes += (codes.empty() ? "" : ", ") + code;
    out("  Country filter: " + codes);
    CountryFilter filter;
    std::string error;
    if (filter.loadTable(JoinPath(DataDirectory(), "geoip.csv"), error)) {
        out(format("  Address table: %zu ranges",
                   filter.ipv4RangeCount() + filter.ipv6RangeCount()));
    } else {
        out("  WARNING: the address table is not loaded — external connections");
        out("  are rejected. Run geoip-import or geo clear.");
    }
}

void printFirewall(Firewall& firewall, const LineWriter& out) {
    std::string error;
    bool allOn = false;
    bool allows = false;
    EnforcementSettings enforcement;
    if (!firewall.connect(error) || !firewall.isEnabledOnAllProfiles(allOn, error) ||
        !firewall.defaultInboundAllows(allows, error) ||
        !firewall.enforcement(enforcement, error)) {
        out("  Firewall: unavailable (" + error + ")");
        return;
    }
    out(std::string("  Firewall on in all profiles: ") + (allOn ? "yes" : "NO"));
    out(std::string("  Inbound by default:          ") + (allows ? "ALLOWED (unsafe)" : "blocked"));
    bool readable = false;
    const std::string exposure = KernelExposure(firewall, readable);
    out(std::string("  Kernel enforcement:          ") +
        (exposure.empty()        ? "on (nftables)"
         : !enforcement.enabled ? "off — rules are kept but not enforced"
         : readable             ? "NOT in force — " + exposure
                                : "unknown — " + exposure));
    if (!allOn || allows) {
        out("  WARNING: in this state the RDP port is OPEN from outside and no");
        out("  key is asked for. Fix it: Velmora.exe harden");
    }
    const std::vector<FirewallRuleInfo> grants = firewall.listGrantRules(error);
    out(format("  Active grants:               %zu", grants.size()));
    for (const FirewallRuleInfo& rule : grants) {
        out("      " + rule.remoteAddresses + " -> port " + rule.localPorts);
    }
}

}  // namespace

int CmdStatus(int, char**, const LineWriter& out, Systemctl& systemctl) {
    ServiceControl services(systemctl);
    std::string state;
    std::string error;
    if (!services.queryServiceState(state, error)) state = "unknown";
    out("  Service:      " + state);

    GateStore store;
    if (!LoadGateStore(store, error)) {
        out("  Configuration: not readable (" + error + ")");
        return 1;
    }
    const GateConfig config = store.config();
    const std::size_t keys = store.activeCredentialCount();
    out("  Machine:      " + config.machineName);
    out(format("  Gate port:    %u", static_cast<unsigned>(config.listenPort)));
    out(format("  RDP port:     %u", static_cast<unsigned>(config.rdpPort)));
    out(format("  Access window: %d sec.", static_cast<int>(config.grantSeconds)));
    out(std::string("  User verification: ") +
        (config.requireUserVerification ? "required (PIN/biometrics)" : "touch"));
    out(format("  Keys:         %zu", keys));
    for (const Credential& key : store.credentials()) {
        std::string unusable;
        if (!key.disabled && !CheckCredentialKey(key.publicKey, unusable)) {
            out("  WARNING: key '" + key.label + "' is refused: " + unusable);
        }
    }
    out("  Thumbprint:   " + config.certThumbprint);
    if (store.enrollmentOpen()) {
        out("  Enrollment code active until " + FormatLocalTime(store.enrollmentExpiresAt()));
    }
    printCountryFilter(config, out);
    services.setRemoteDesktopUnit(config.rdpService);
    std::string rdpState;
    static_cast<void>(services.termServiceState(rdpState));
    out("  Remote desktop: " + config.rdpService + " (" + rdpState + ")");
    FileFirewallStore firewallStore(DataDirectory());
    NftCommand nft;
    Firewall firewall(firewallStore, nft);
    bool readable = false;
    const std::string exposure = KernelExposure(firewall, readable);
    if (keys > 0 && exposure.empty()) {
        out("  Protection is active: the RDP port opens only on a FIDO key.");
    } else if (keys > 0 && !readable) {
        out("  Protection cannot be confirmed: " + exposure + ".");
    } else if (keys > 0) {
        out("  WARNING: protection is NOT in force, the RDP port is open to everyone:");
        out("  " + exposure + ". Fix it: Velmora.exe harden");
    } else {
        out("  Protection is NOT active: no keys, the RDP port works as usual.");
        out("  Issue a code with 'Velmora.exe code' and enroll a key —");
        out("  the port will close automatically right after that.");
    }
    printFirewall(firewall, out);
    return 0;
}

int CmdHarden(int, char**, const LineWriter& out) {
    if (!RequireElevation(out)) return 1;
    GateStore gateStore;
    std::string error;
    if (!LoadGateStore(gateStore, error)) {
        out("ERROR: " + error);
        return 1;
    }
    const GateConfig config = gateStore.config();
    FileFirewallStore store(DataDirectory());
    NftCommand nft;
    Firewall firewall(store, nft);
    if (!firewall.connect(error)) {
        out("ERROR: " + error);
        return 1;
    }
    bool created = false;
    if (!firewall.ensureServicePortRule(config.listenPort, created, error)) {
        out("Failed to open the gate port: " + error);
    } else {
        out(format(
            created ? "Gate port %u opened (rule restored)." : "Gate port %u is already open.",
            static_cast<unsigned>(config.listenPort)));
    }
    // Even with no key enrolled: harden means nothing else may expose the desktop port.
    const int disabled = firewall.suppressAllowRules(config.rdpPort, error);
    out(format("Allow rules disabled for port %u: %d", static_cast<unsigned>(config.rdpPort),
               disabled < 0 ? 0 : disabled));
    if (firewall.setDefaultInboundBlock(error)) {
        out("Inbound connections are blocked by default in all profiles.");
    } else {
        out("Failed to set default inbound blocking: " + error);
    }
    bool allOn = false;
    bool changed = false;
    if (firewall.isEnabledOnAllProfiles(allOn, error) && allOn) {
        out("The firewall is on in all profiles.");
    } else if (firewall.enableOnAllProfiles(changed, error)) {
        out("The firewall was off — enabled in all profiles.");
    } else {
        out("WARNING: the firewall is off and could not be enabled:");
        out("    " + error);
        out("While it is off, the RDP port is open and no key is asked for.");
    }
    // The rules close nothing until the kernel enforces them.
    EnforcementSettings enforcement;
    const bool wasOn = firewall.enforcement(enforcement, error) && enforcement.enabled;
    if (firewall.setEnforcement({true, config.rdpPort, config.streamPort}, error)) {
        out(wasOn ? "nftables enforcement is on (table inet velmora)."
                  : "nftables enforcement switched on (table inet velmora).");
    } else {
        out("WARNING: nftables enforcement could not be switched on:");
        out("    " + error);
        out("While it is off, the RDP port is open and no key is asked for.");
    }
    return 0;
}

int CmdStop(int, char**, const LineWriter& out, Systemctl& systemctl) {
    if (!RequireElevation(out)) return 1;
    ServiceControl services(systemctl);
    std::string error;
    out("Removing auto-restart");
    if (!services.disableRestartOnFailure(error)) out("  " + error);
    out("Normal stop");
    static_cast<void>(services.stopService(error));
    std::string state;
    if (!services.queryServiceState(state, error)) state = "unknown";
    if (state == "running" || state == "stopping") {
        out("Did not stop, killing the process");
        if (!services.killService(error)) {
            out("  ERROR: " + error);
            return 1;
        }
    }
    if (!services.queryServiceState(state, error)) state = "unknown";
    out("State: " + state);
    return state == "stopped" || state == "not installed" ? 0 : 1;
}

}  // namespace vel::admin
