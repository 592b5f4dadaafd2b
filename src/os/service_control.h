#pragma once

#include <memory>
#include <string>
#include <vector>

#include "os/child_process.h"

namespace vel {

// The gate's systemd unit.
inline constexpr const char* kServiceUnit = "velmora.service";
inline constexpr const char* kServiceDescription =
    "Keeps the Remote Desktop port closed and opens it briefly for a source address that presents "
    "an "
    "enrolled FIDO2 security key.";
// The boot unit that projects the stored firewall rules into the kernel.
inline constexpr const char* kFirewallUnit = "velmora-firewall.service";

// The one seam to systemd: systemctl with an argument vector.
class Systemctl {
  public:
    virtual ~Systemctl() = default;
    virtual ChildResult run(const std::vector<std::string>& args) = 0;
};

std::unique_ptr<Systemctl> MakeSystemctl();

std::string DefaultUnitDirectory();

struct ServiceControlOptions {
    // VELMORA_SYSTEMD_UNIT_DIR, when set, replaces /etc/systemd/system (for a stand-in systemd).
    std::string unitDirectory = DefaultUnitDirectory();
    int pollIntervalMs = 200;
};

// Install, start, stop, kill, remove and query the gate's unit and the remote-desktop unit.
// Every operation can be repeated: a missing unit, a running one or a stopped one is not an error
// where the operation's goal already holds.
class ServiceControl {
  public:
    explicit ServiceControl(Systemctl& systemctl, ServiceControlOptions options = {});

    // Writes the unit (identity, Type=notify, restart on failure) for exePath and enables it at
    // boot. A restart-on-failure setting changed earlier is left as it is.
    [[nodiscard]] bool installService(const std::string& exePath, std::string& error);
    [[nodiscard]] bool enableRestartOnFailure(std::string& error);
    [[nodiscard]] bool disableRestartOnFailure(std::string& error);
    // Whether the unit starts at boot.
    [[nodiscard]] bool setAutostart(bool enabled, std::string& error);
    [[nodiscard]] bool startService(std::string& error);
    [[nodiscard]] bool stopService(std::string& error);
    [[nodiscard]] bool killService(std::string& error);
    [[nodiscard]] bool deleteService(std::string& error);
    // "running", "stopped", "starting", "stopping", "unknown" or "not installed".
    [[nodiscard]] bool queryServiceState(std::string& state, std::string& error);
    // The remote-desktop unit's state name; "unknown" when systemd cannot be asked.
    [[nodiscard]] bool termServiceState(std::string& state);
    [[nodiscard]] bool ensureTermServiceRunning(std::string& error);
    // Whether the remote-desktop unit starts at boot.
    bool termServiceEnabled();
    [[nodiscard]] bool enableTermService(std::string& error);

    // The remote-desktop unit the TermService operations use (xrdp.service until set).
    void setRemoteDesktopUnit(std::string unit);

    // Writes velmora-firewall.service for exePath, ordered before the remote-desktop unit, and
    // enables it at boot.
    [[nodiscard]] bool installFirewallUnit(const std::string& exePath, std::string& error);
    // Disables and removes it; nothing to do when it is not installed.
    [[nodiscard]] bool deleteFirewallUnit(std::string& error);

    std::string unitPath() const;
    std::string firewallUnitPath() const;
    std::string restartDropInPath() const;

  private:
    struct UnitState {
        bool known = false;  // systemctl answered
        bool installed = false;
        std::string activeState;
        std::string error;
    };
    UnitState readState(const std::string& unit);
    [[nodiscard]] bool daemonReload(std::string& error);
    void pause() const;

    Systemctl& systemctl_;
    ServiceControlOptions options_;
    std::string remoteDesktopUnit_ = "xrdp.service";
};

// The state name for a systemd ActiveState.
std::string ServiceStateName(const std::string& activeState);

}  // namespace vel
