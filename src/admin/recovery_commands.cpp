#include "admin/recovery_commands.h"

#include <cstdio>
#include <vector>

#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::admin {

using firewall::disarmedMarkerPath;
using firewall::Firewall;
using firewall::setDisarmed;
using gate::GateConfig;
using gate::GateStore;

namespace {

// The state the service is in, or "unknown" with systemd's answer when it cannot be read.
std::string ServiceStateText(ServiceControl& service) {
    std::string state, error;
    return service.queryServiceState(state, error) ? state : "unknown";
}

bool StillRunning(ServiceControl& service) {
    std::string state, error;
    return service.queryServiceState(state, error) && (state == "running" || state == "stopping");
}

void StopGateService(RecoverySystem& system) {
    const auto& print = system.print;
    std::string error;
    if (!system.service.stopService(error)) print("     normal stop failed: " + error);
    if (StillRunning(system.service)) {
        print("     the service did not stop, killing the process");
        if (system.service.killService(error)) {
            print("     process terminated");
        } else {
            print("     failed: " + error);
            print("     The 'disarmed' marker still keeps it from closing the port.");
        }
    }
    print("     state: " + ServiceStateText(system.service));
}

// Unlock exists to let the administrator in: when the rules cannot be put into the kernel, the
// gate's table goes rather than keep the port closed.
void RemoveKernelTable(RecoverySystem& system, Firewall& firewall) {
    std::string error;
    if (firewall.removeKernelTable(error)) {
        system.print("     the table inet velmora was removed from the kernel");
    } else {
        system.print("     FAILED to remove the table inet velmora: " + error);
    }
}

bool RestoreFirewallRules(RecoverySystem& system, Firewall& firewall, std::uint16_t rdpPort) {
    const auto& print = system.print;
    std::string error;
    if (!firewall.connect(error)) {
        print("     firewall unavailable: " + error);
        RemoveKernelTable(system, firewall);
        return false;
    }
    // A grant left behind would keep one address open after protection returns.
    if (firewall.removeAllGrantRules(error) < 0) {
        print("     could not remove the temporary grant rules: " + error);
    }
    std::vector<std::string> restored;
    if (!firewall.enableRdpAccess(rdpPort, restored, error)) {
        print("     firewall unavailable: " + error);
        RemoveKernelTable(system, firewall);
        return false;
    }
    if (restored.empty()) {
        print("     no disabled rules found — they are already enabled");
    } else {
        char line[64];
        std::snprintf(line, sizeof line, "     rules enabled: %zu", restored.size());
        print(line);
        for (const std::string& name : restored) print("        " + name);
    }
    // Projected even when nothing changed in the store: the kernel may hold an older table.
    if (!firewall.reproject(error)) {
        print("     the rules could not be enforced: " + error);
        RemoveKernelTable(system, firewall);
        return false;
    }
    return true;
}

// Remote Desktop counts as enabled when its unit starts at boot; xrdp has no NLA switch.
bool enableRemoteDesktopWithNla(ServiceControl& service, std::string& error) {
    std::string detail;
    if (!service.enableTermService(detail)) {
        error = "cannot enable Remote Desktop: " + detail;
        return false;
    }
    Log(LogLevel::Warn, "could not enforce NLA: %s", "not applicable to xrdp");
    return true;
}

void CheckRemoteDesktop(RecoverySystem& system) {
    const auto& print = system.print;
    std::string error;
    if (enableRemoteDesktopWithNla(system.service, error)) {
        print("     connections allowed (fDenyTSConnections = 0)");
    } else {
        print("     failed to enable: " + error);
    }
    if (system.service.ensureTermServiceRunning(error)) {
        print("     TermService is running");
    } else {
        print("     TermService: " + error);
    }
}

bool VerifyRulesOpen(RecoverySystem& system, Firewall& firewall, std::uint16_t rdpPort) {
    const auto& print = system.print;
    system.sleep(3000);
    std::string error;
    bool rulesOpen = false;
    if (firewall.connect(error)) {
        for (const Firewall::PortRule& rule : firewall.rulesForPort(rdpPort, error)) {
            rulesOpen = rulesOpen || (rule.enabled && rule.allow);
        }
    }
    // The kernel decides: no table of ours lets everything through; our table lets through
    // what the rules allow; any other table is not what the rules say.
    firewall::KernelState state = firewall::KernelState::Different;
    if (!firewall.checkKernel(state, error)) {
        print("     PROBLEM: the kernel's firewall table cannot be read: " + error);
        return false;
    }
    const bool open = state == firewall::KernelState::Off ||
                      state == firewall::KernelState::Missing ||
                      (state == firewall::KernelState::Enforced && rulesOpen);
    if (open) {
        print("     rules in place, port is open");
    } else if (state == firewall::KernelState::Different) {
        print("     PROBLEM: the kernel's table inet velmora is not the one the rules describe.");
        print("     Check the ruleset (nft list ruleset) and that the service is stopped.");
    } else {
        print("     PROBLEM: the allow rules are gone again.");
        print("     Something keeps disabling them. Check the ruleset");
        print("     (nft list ruleset) and that the service is stopped.");
    }
    return open;
}

}  // namespace

bool LoadGateConfig(const std::string& dataDirectory, GateStore& store, GateConfig& config) {
    config = GateConfig{};
    const std::string path = JoinPath(dataDirectory, "gate.json");
    std::string error;
    if (!FileExists(path) || !store.load(path, error)) return false;
    config = store.config();
    return true;
}

int RunUnlock(RecoverySystem& system) {
    const auto& print = system.print;
    std::string error;
    print("");
    print("Emergency RDP access recovery");
    print("=============================");

    print("  1. Forbidding the gate to touch the firewall");
    if (setDisarmed(system.dataDirectory, true, error)) {
        print("     marker created: " + disarmedMarkerPath(system.dataDirectory));
    } else {
        print("     FAILED: " + error);
        print("     A running service may undo the following steps.");
    }

    print("  2. Removing service auto-restart");
    if (system.service.disableRestartOnFailure(error)) {
        print("     restart on failure disabled");
    } else {
        print("     failed: " + error);
    }

    print("  3. Stopping the gate service");
    StopGateService(system);

    print("  4. Disabling autostart");
    if (system.service.setAutostart(false, error)) {
        print("     service set to 'disabled'");
    } else {
        print("     failed to change the startup type");
    }

    print("  5. Restoring firewall rules");
    GateStore store;
    GateConfig config;
    static_cast<void>(LoadGateConfig(system.dataDirectory, store, config));
    system.service.setRemoteDesktopUnit(config.rdpService);
    Firewall firewall(system.firewallStore, system.nft);
    const bool rulesRestored = RestoreFirewallRules(system, firewall, config.rdpPort);

    print("  6. Checking the Remote Desktop service");
    CheckRemoteDesktop(system);

    print("  7. Verification check after 3 seconds");
    const bool open = VerifyRulesOpen(system, firewall, config.rdpPort);

    print("");
    print(rulesRestored && open ? "Done. Normal RDP access restored (password + NLA)."
                                : "Recovery only partially completed — see the messages above.");
    print("The gate service is stopped and removed from autostart, keys are kept.");
    print("");
    print("Check from another machine:");
    const std::string machine = config.machineName.empty() ? "machine_name" : config.machineName;
    print("    nc -zv " + machine + " " + std::to_string(config.rdpPort));
    print("If the port is still closed, run: Velmora.exe diag");
    print("When you are ready to re-enable protection:  Velmora.exe arm");
    return 0;
}

int RunArm(RecoverySystem& system) {
    const auto& print = system.print;
    GateStore store;
    GateConfig config;
    static_cast<void>(LoadGateConfig(system.dataDirectory, store, config));
    if (store.activeCredentialCount() == 0) {
        print("No keys enrolled.");
        print("The gate will start, but it will close the RDP port only after");
        print("the first key is enrolled — you will not lose access.");
    }
    std::string error;
    if (!setDisarmed(system.dataDirectory, false, error)) {
        print("ERROR: " + error);
        return 1;
    }
    print("The 'disarmed' marker has been removed.");
    // As designed, only the start type changes here; a failure shows up in the start below.
    static_cast<void>(system.service.setAutostart(true, error));
    if (!system.service.startService(error)) {
        print("The service failed to start: " + error);
        return 1;
    }
    print("Service started, autostart enabled.");
    return 0;
}

}  // namespace vel::admin
