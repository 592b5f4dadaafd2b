#include "os/service_control.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "os/files.h"
#include "os/paths.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

namespace vel {

namespace {

class RealSystemctl : public Systemctl {
  public:
    ChildResult run(const std::vector<std::string>& args) override {
        std::vector<std::string> argv{"systemctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunChild(argv);
    }
};

// systemctl's own explanation: its output without surrounding blanks, on one line.
std::string messageOf(const ChildResult& result) {
    if (!result.started) return "systemctl could not be run";
    std::string text = result.output;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text) c = c == '\n' ? ' ' : c;
    return text.empty() ? "exit status " + std::to_string(result.exitCode) : text;
}

bool succeeded(const ChildResult& result) {
    return result.started && result.exitCode == 0;
}

std::string valueOf(const std::string& output, const std::string& key) {
    const std::string prefix = key + "=";
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        if (output.compare(start, prefix.size(), prefix) == 0)
            return output.substr(start + prefix.size(), end - start - prefix.size());
        start = end + 1;
    }
    return {};
}

std::string unitText(const std::string& exePath) {
    return std::string("[Unit]\n") + "Description=" + kServiceDescription + "\n" +
           "Wants=network-online.target\n"
           "After=network-online.target nftables.service\n"
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "NotifyAccess=main\n"
           "ExecStart=\"" +
           exePath +
           "\" --service\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "TimeoutStopSec=30\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// Puts the stored rules into the kernel at boot, before any network comes up and before the
// remote-desktop server listens; after nftables.service, whose configuration starts with
// `flush ruleset`.
std::string firewallUnitText(const std::string& exePath, const std::string& remoteDesktopUnit) {
    return std::string("[Unit]\n") +
           "Description=Velmora firewall rules (nftables table inet velmora)\n"
           "DefaultDependencies=no\n"
           "Wants=network-pre.target\n"
           "After=nftables.service\n"
           "Before=network-pre.target " + remoteDesktopUnit + " " + kServiceUnit + "\n"
           "\n"
           "[Service]\n"
           "Type=oneshot\n"
           "RemainAfterExit=yes\n"
           "ExecStart=\"" + exePath + "\" --apply-firewall\n"
           "\n"
           "[Install]\n"
           "WantedBy=sysinit.target\n";
}

}  // namespace

std::unique_ptr<Systemctl> MakeSystemctl() {
    return std::make_unique<RealSystemctl>();
}

std::string DefaultUnitDirectory() {
    const char* directory = std::getenv("VELMORA_SYSTEMD_UNIT_DIR");
    return directory != nullptr && *directory != '\0' ? directory : "/etc/systemd/system";
}

std::string ServiceStateName(const std::string& activeState) {
    if (activeState == "active" || activeState == "reloading") return "running";
    if (activeState == "inactive" || activeState == "failed") return "stopped";
    if (activeState == "activating") return "starting";
    if (activeState == "deactivating") return "stopping";
    return "unknown";
}

ServiceControl::ServiceControl(Systemctl& systemctl, ServiceControlOptions options)
    : systemctl_(systemctl), options_(std::move(options)) {}

std::string ServiceControl::firewallUnitPath() const {
    return JoinPath(options_.unitDirectory, kFirewallUnit);
}

void ServiceControl::setRemoteDesktopUnit(std::string unit) {
    remoteDesktopUnit_ = std::move(unit);
}

bool ServiceControl::installFirewallUnit(const std::string& exePath, std::string& error) {
    if (!EnsureDirectory(options_.unitDirectory) ||
        !WriteFileAtomic(firewallUnitPath(), firewallUnitText(exePath, remoteDesktopUnit_))) {
        error = FailedText("writing " + firewallUnitPath(), errno);
        return false;
    }
    if (!daemonReload(error)) return false;
    const ChildResult result = systemctl_.run({"enable", "--quiet", kFirewallUnit});
    if (succeeded(result)) return true;
    error = std::string("systemctl enable ") + kFirewallUnit + " failed: " + messageOf(result);
    return false;
}

bool ServiceControl::deleteFirewallUnit(std::string& error) {
    if (!FileExists(firewallUnitPath())) return true;
    // Disabling needs the unit file; a failure only leaves a dangling link behind.
    systemctl_.run({"disable", "--quiet", kFirewallUnit});
    std::error_code failure;
    std::filesystem::remove(firewallUnitPath(), failure);
    if (failure) {
        error = "removing " + firewallUnitPath() + " failed: " + failure.message();
        return false;
    }
    std::string ignored;
    static_cast<void>(daemonReload(ignored));
    return true;
}

std::string ServiceControl::unitPath() const {
    return JoinPath(options_.unitDirectory, kServiceUnit);
}

std::string ServiceControl::restartDropInPath() const {
    return JoinPath(options_.unitDirectory, std::string(kServiceUnit) + ".d/restart.conf");
}

void ServiceControl::pause() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.pollIntervalMs));
}

ServiceControl::UnitState ServiceControl::readState(const std::string& unit) {
    UnitState state;
    const ChildResult result =
        systemctl_.run({"show", unit, "--property=LoadState,ActiveState,MainPID"});
    if (!succeeded(result)) {
        state.error = "systemctl show failed: " + messageOf(result);
        return state;
    }
    state.known = true;
    state.installed = valueOf(result.output, "LoadState") == "loaded";
    state.activeState = valueOf(result.output, "ActiveState");
    return state;
}

bool ServiceControl::daemonReload(std::string& error) {
    const ChildResult result = systemctl_.run({"daemon-reload"});
    if (succeeded(result)) return true;
    error = "systemctl daemon-reload failed: " + messageOf(result);
    return false;
}

bool ServiceControl::installService(const std::string& exePath, std::string& error) {
    if (!EnsureDirectory(options_.unitDirectory) ||
        !WriteFileAtomic(unitPath(), unitText(exePath))) {
        error = FailedText("writing " + unitPath(), errno);
        return false;
    }
    if (!daemonReload(error)) return false;
    return setAutostart(true, error);
}

bool ServiceControl::setAutostart(bool enabled, std::string& error) {
    const ChildResult result =
        systemctl_.run({enabled ? "enable" : "disable", "--quiet", kServiceUnit});
    if (succeeded(result)) return true;
    error = std::string("systemctl ") + (enabled ? "enable" : "disable") +
            " failed: " + messageOf(result);
    return false;
}

bool ServiceControl::enableRestartOnFailure(std::string& error) {
    if (!FileExists(unitPath())) {
        error = "the service is not installed";
        return false;
    }
    std::error_code ignored;
    std::filesystem::remove(restartDropInPath(), ignored);
    return daemonReload(error);
}

bool ServiceControl::disableRestartOnFailure(std::string& error) {
    if (!FileExists(unitPath())) return true;  // nothing to restart
    const std::string dir = JoinPath(options_.unitDirectory, std::string(kServiceUnit) + ".d");
    if (!EnsureDirectory(dir) || !WriteFileAtomic(restartDropInPath(), "[Service]\nRestart=no\n")) {
        error = FailedText("writing " + restartDropInPath(), errno);
        return false;
    }
    return daemonReload(error);
}

bool ServiceControl::startService(std::string& error) {
    const ChildResult result = systemctl_.run({"start", kServiceUnit});
    if (!succeeded(result)) {
        // systemctl start waits for the notify unit's readiness, so a failed job of an installed
        // unit is a gate that ended during its startup.
        const UnitState state = readState(kServiceUnit);
        if (state.known && state.installed) {
            error = "the service stopped immediately after starting; check the gate log";
        } else {
            error = "systemctl start failed: " + messageOf(result);
        }
        return false;
    }
    for (int poll = 0; poll < 100; ++poll) {
        const UnitState state = readState(kServiceUnit);
        if (!state.known) return true;
        const std::string name = ServiceStateName(state.activeState);
        if (name == "running") return true;
        if (name == "stopped") {
            error = "the service stopped immediately after starting; check the gate log";
            return false;
        }
        pause();
    }
    return true;  // still starting
}

bool ServiceControl::stopService(std::string& error) {
    UnitState state = readState(kServiceUnit);
    if (state.known && !state.installed) return true;
    const ChildResult result = systemctl_.run({"stop", kServiceUnit});
    if (!succeeded(result)) {
        error = "systemctl stop failed: " + messageOf(result);
        return false;
    }
    for (int poll = 0; poll < 75; ++poll) {
        state = readState(kServiceUnit);
        if (!state.known || ServiceStateName(state.activeState) == "stopped") break;
        pause();
    }
    return true;
}

bool ServiceControl::killService(std::string& error) {
    const ChildResult result =
        systemctl_.run({"show", kServiceUnit, "--property=MainPID", "--value"});
    if (!succeeded(result)) {
        error = "systemctl show failed: " + messageOf(result);
        return false;
    }
    const pid_t pid = static_cast<pid_t>(std::atol(result.output.c_str()));
    if (pid <= 0) {
        error = "the service process is no longer running";
        return false;
    }
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!process) {
        error = FailedText("pidfd_open", errno);
        return false;
    }
    if (::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0) != 0) {
        error = FailedText("kill", errno);
        return false;
    }
    pollfd fd{process.get(), POLLIN, 0};
    ::poll(&fd, 1, 5000);
    return true;
}

bool ServiceControl::deleteService(std::string& error) {
    const UnitState state = readState(kServiceUnit);
    // Without systemd the unit could be neither stopped nor disabled: removing its file then
    // would leave a running gate or a dangling boot link behind.
    if (!state.known) {
        error = state.error;
        return false;
    }
    if (!FileExists(unitPath()) && !state.installed) {
        error = "the service is not installed";
        return false;
    }
    systemctl_.run({"stop", kServiceUnit});
    for (int poll = 0; poll < 50; ++poll) {
        const UnitState now = readState(kServiceUnit);
        if (!now.known || ServiceStateName(now.activeState) == "stopped") break;
        pause();
    }
    systemctl_.run({"disable", "--quiet", kServiceUnit});
    std::error_code failure;
    std::filesystem::remove_all(JoinPath(options_.unitDirectory, std::string(kServiceUnit) + ".d"),
                                failure);
    std::filesystem::remove(unitPath(), failure);
    if (failure) {
        error = "removing " + unitPath() + " failed: " + failure.message();
        return false;
    }
    std::string ignored;
    // The unit file is gone; a reload failure changes nothing for the caller.
    static_cast<void>(daemonReload(ignored));
    return true;
}

bool ServiceControl::queryServiceState(std::string& state, std::string& error) {
    const UnitState unit = readState(kServiceUnit);
    if (!unit.known) {
        error = unit.error;
        return false;
    }
    state = unit.installed ? ServiceStateName(unit.activeState) : "not installed";
    return true;
}

bool ServiceControl::termServiceState(std::string& state) {
    const UnitState unit = readState(remoteDesktopUnit_);
    state = !unit.known      ? "unknown"
            : unit.installed ? ServiceStateName(unit.activeState)
                             : "not installed";
    return unit.known;
}

bool ServiceControl::termServiceEnabled() {
    const ChildResult result = systemctl_.run({"is-enabled", "--quiet", remoteDesktopUnit_});
    return succeeded(result);
}

bool ServiceControl::enableTermService(std::string& error) {
    const ChildResult result = systemctl_.run({"enable", "--quiet", remoteDesktopUnit_});
    if (succeeded(result)) return true;
    error = std::string("failed to enable ") + remoteDesktopUnit_ + ": " + messageOf(result);
    return false;
}

bool ServiceControl::ensureTermServiceRunning(std::string& error) {
    const UnitState unit = readState(remoteDesktopUnit_);
    if (!unit.known || !unit.installed) {
        error = std::string("failed to open ") + remoteDesktopUnit_ + ": " +
                (unit.known ? "the unit is not installed" : unit.error);
        return false;
    }
    if (ServiceStateName(unit.activeState) == "running") return true;
    const ChildResult result = systemctl_.run({"start", remoteDesktopUnit_});
    if (!succeeded(result)) {
        error = std::string("failed to start ") + remoteDesktopUnit_ + ": " + messageOf(result);
        return false;
    }
    for (int poll = 0; poll < 50; ++poll) {
        const UnitState now = readState(remoteDesktopUnit_);
        if (now.known && ServiceStateName(now.activeState) == "running") return true;
        pause();
    }
    error = remoteDesktopUnit_ + " did not reach the 'running' state";
    return false;
}

}  // namespace vel
