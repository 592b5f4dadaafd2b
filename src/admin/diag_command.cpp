#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "admin/admin_commands.h"
#include "admin/kernel_exposure.h"
#include "admin/recovery_commands.h"
#include "core/time.h"
#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "os/paths.h"

namespace vel::admin {

using firewall::disarmedMarkerPath;
using firewall::EnforcementSettings;
using firewall::Firewall;
using firewall::isDisarmed;
using gate::GateConfig;
using gate::GateStore;

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void RemoteDesktopSection(RecoverySystem& system) {
    const auto& print = system.print;
    print("1. Remote Desktop in the system");
    print(system.service.termServiceEnabled()
              ? "   [ok]   connections allowed"
              : "   [PROBLEM] connections denied (fDenyTSConnections = 1)");
    std::string state;
    static_cast<void>(system.service.termServiceState(state));
    print(state == "running" ? "   [ok]   TermService is running"
                             : "   [PROBLEM] TermService: " + state);
}

void ListeningSection(RecoverySystem& system, const GateConfig& config) {
    const auto& print = system.print;
    print("2. Port listening");
    print(system.isListening(config.rdpPort)
              ? Format("   [ok]   port %u is listening", config.rdpPort)
              : Format("   [PROBLEM] nothing is listening on port %u", config.rdpPort));
    print(system.isListening(config.listenPort)
              ? Format("   [ok]   gate port %u is listening", config.listenPort)
              : Format("   [info] gate port %u is not listening (service stopped?)",
                       config.listenPort));
}

void ServiceSection(RecoverySystem& system, const GateStore& store) {
    const auto& print = system.print;
    print("3. Gate service");
    std::string state, error;
    print("   state: " + (system.service.queryServiceState(state, error) ? state : "unknown"));
    if (isDisarmed(system.dataDirectory)) {
        print("   [info] the gate is DISARMED: it does not touch the firewall");
        print("          marker: " + disarmedMarkerPath(system.dataDirectory));
        print("          re-enable protection: Velmora.exe arm");
    }
    const std::size_t keys = store.activeCredentialCount();
    print(Format("   keys enrolled: %zu", keys));
    if (keys == 0) print("   [info] no keys, so the gate does not close the RDP port");
}

bool ModificationTime(const std::string& path, struct timespec& out) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    out = info.st_mtim;
    return true;
}

bool Older(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void CodeSection(RecoverySystem& system, GateStore& store) {
    const auto& print = system.print;
    print("4. Enrollment code and version match");
    PrintVersionCheck(print, system.dataDirectory);
    if (store.enrollmentOpen()) {
        print("   [ok]   an active code exists, valid until " +
              FormatLocalTime(store.enrollmentExpiresAt()));
    } else {
        print("   [info] no active code — issue one: Velmora.exe code");
    }
    const std::string enrollmentPath = JoinPath(system.dataDirectory, "enrollment.json");
    print("   file " + enrollmentPath + (FileExists(enrollmentPath) ? " — present" : " — missing"));
    if (codeInsideGateJson(system.dataDirectory) != "none")
        print("   [info] a code was also found in the old place (inside gate.json)");

    print("   this program: " + system.programPath);
    struct timespec installedTime {
    }, programTime{};
    if (!ModificationTime(system.installedPath, installedTime)) {
        print("   [info] no installed copy in /opt/velmora");
        return;
    }
    print("   the service installs from: " + system.installedPath);
    if (ModificationTime(system.programPath, programTime) && Older(installedTime, programTime)) {
        print("   [PROBLEM] the installed file is OLDER than this one.");
        print("   The service is running an old build and will not see the code.");
        print("   Replace the file and restart the service:");
        print("       systemctl stop velmora");
        print("       cp -f \"" + system.programPath + "\" \"" + system.installedPath + "\"");
        print("       systemctl start velmora");
    }
}

void FirewallSection(RecoverySystem& system, std::uint16_t rdpPort) {
    const auto& print = system.print;
    print(Format("5. Firewall rules for port %u", rdpPort));
    Firewall firewall(system.firewallStore, system.nft);
    std::string error;
    bool allOn = false, inboundAllowed = false;
    EnforcementSettings enforcement;
    if (!firewall.connect(error) || !firewall.isEnabledOnAllProfiles(allOn, error) ||
        !firewall.defaultInboundAllows(inboundAllowed, error) ||
        !firewall.enforcement(enforcement, error)) {
        print("   firewall unavailable: " + error);
        return;
    }
    print(std::string("   firewall on in all profiles: ") + (allOn ? "yes" : "NO"));
    print(std::string("   inbound by default: ") + (inboundAllowed ? "ALLOWED" : "blocked"));
    // What the kernel holds decides, not what the store says.
    bool readable = false;
    const std::string exposure = KernelExposure(firewall, readable);
    print(exposure.empty()         ? "   enforcement: nftables on"
          : !enforcement.enabled ? "   [info] rules are kept but not enforced"
          : readable             ? "   [PROBLEM] enforcement: " + exposure
                                 : "   [info] enforcement: " + exposure);

    const std::vector<Firewall::PortRule> rules = firewall.rulesForPort(rdpPort, error);
    if (rules.empty()) print("   [PROBLEM] no rules found for this port at all");
    int active = 0;
    for (const Firewall::PortRule& rule : rules) {
        print(Format("   [%s] %s%s", rule.enabled ? "on " : "off", rule.name.c_str(),
                     rule.allow ? "" : "  (BLOCKING)"));
        if (rule.remoteAddresses != "*") print("          only for: " + rule.remoteAddresses);
        if (rule.enabled && rule.allow) ++active;
    }
    if (!allOn) {
        print("   [PROBLEM] the firewall is off — rules have no effect,");
        print("   the RDP port is OPEN from outside and NO key is asked for.");
        print("   Fix it now: Velmora.exe harden");
        print("   (a running service with keys will also enable the firewall itself)");
    } else if (inboundAllowed) {
        print("   [PROBLEM] inbound is allowed by default — without blocking");
        print("   rules the RDP port is OPEN from outside.");
        print("   Fix it: Velmora.exe harden");
    } else if (!exposure.empty() && readable) {
        print("   [PROBLEM] the port is OPEN from outside and NO key is asked for:");
        print("   " + exposure + ".");
        print("   Fix it: Velmora.exe harden");
    } else if (active == 0) {
        print("   SUMMARY: no allow rules — the port is closed from outside.");
        print("   Restore access: Velmora.exe unlock");
    } else {
        print(Format("   SUMMARY: active allow rules: %d", active));
    }
}

}  // namespace

int RunDiag(RecoverySystem& system) {
    GateStore store;
    GateConfig config;
    static_cast<void>(LoadGateConfig(system.dataDirectory, store, config));
    system.service.setRemoteDesktopUnit(config.rdpService);
    system.print("RDP access diagnostics");
    system.print("======================");
    RemoteDesktopSection(system);
    ListeningSection(system, config);
    ServiceSection(system, store);
    CodeSection(system, store);
    FirewallSection(system, config.rdpPort);
    return 0;
}

}  // namespace vel::admin
