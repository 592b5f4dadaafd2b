#include "admin/setup.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "admin/admin_commands.h"
#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "os/console.h"
#include "os/files.h"
#include "os/local_addresses.h"
#include "os/log.h"
#include "os/paths.h"
#include "os/privileges.h"
#include "os/system_error.h"

namespace vel::admin {

using admin::CertificateInfo;
using admin::ComputerName;
using admin::ensureCertificate;
using firewall::EnforcementSettings;
using firewall::FileFirewallStore;
using firewall::Firewall;
using firewall::isDisarmed;
using firewall::kServiceRuleName;
using firewall::setDisarmed;

namespace {

constexpr std::int64_t kEnrollmentCodeSeconds = 900;
constexpr const char* kRuleLine = "==========================================================";

std::string format(const char* pattern, unsigned value) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

int parseInteger(const std::string& text) {
    int value = 0;
    const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
    return code == std::errc() && end == text.data() + text.size() ? value : 0;
}

bool firewallStep(SetupEnvironment& env, const gate::GateConfig& config, bool keysEnrolled,
                  std::string& error) {
    env.print("[6/7] Closing the RDP port in the firewall");
    firewall::Firewall firewall(env.firewallStore, env.nft);
    std::string detail;
    if (!firewall.connect(detail)) {
        error = "cannot reach the Windows Firewall: " + detail;
        return false;
    }
    bool created = false;
    if (!firewall.ensureServicePortRule(config.listenPort, created, detail)) {
        error = "cannot open the gate's own port: " + detail;
        return false;
    }
    env.print(format("      gate port %u opened to accept confirmations", config.listenPort));
    if (keysEnrolled) {
        const int disabled = firewall.suppressAllowRules(config.rdpPort, detail);
        env.print(
            format("      allow rules disabled: %u", static_cast<unsigned>(std::max(disabled, 0))));
    } else {
        env.print("      the RDP port is NOT closed yet: no keys are enrolled.");
        env.print("      It will close automatically once the first key is enrolled.");
    }
    bool allows = false;
    if (firewall.defaultInboundAllows(allows, detail) && allows) {
        env.print("      a firewall profile accepts inbound traffic by default - fixing it");
        static_cast<void>(firewall.setDefaultInboundBlock(detail));
    }
    bool allOn = true;
    if (firewall.isEnabledOnAllProfiles(allOn, detail) && !allOn) {
        bool changed = false;
        std::string switchError;
        if (firewall.enableOnAllProfiles(changed, switchError)) {
            env.print("      the Windows Firewall was off - switched it on");
        } else {
            env.print("      WARNING: the Windows Firewall is off and could not be switched on:");
            env.print("      " + switchError);
            env.print("      While it is off, the gate cannot keep the RDP port closed.");
        }
    }
    firewall.removeAllGrantRules(detail);
    // The rule store only protects the port once nftables projects it into the kernel.
    firewall::EnforcementSettings enforcement{true, config.rdpPort, config.streamPort};
    std::string nftError;
    if (firewall.setEnforcement(enforcement, nftError)) {
        env.print("      nftables enforcement is on (table inet velmora)");
    } else {
        env.print("      WARNING: nftables is not usable here, rules are kept but not enforced:");
        env.print("      " + nftError);
    }
    return true;
}

}  // namespace

bool secureDataDirectory(const std::string& path, std::string& error) {
    if (!EnsureDirectory(path)) {
        error = "cannot create " + path;
        return false;
    }
    if (::chmod(path.c_str(), 0700) != 0) {
        error = FailedText("chmod", errno);
        return false;
    }
    // Owned by whoever runs setup, which is root on a real machine.
    if (::chown(path.c_str(), ::geteuid(), ::getegid()) != 0) {
        error = FailedText("chown", errno);
        return false;
    }
    return true;
}

bool bindCertificate(const admin::CertificateInfo& info, std::string& error) {
    if (info.thumbprint.empty()) {
        error = "the certificate has no thumbprint";
        return false;
    }
    return true;
}

bool enableRemoteDesktopWithNla(ServiceControl& services, std::string& error) {
    std::string detail;
    if (!services.enableTermService(detail)) {
        error = "cannot enable Remote Desktop: " + detail;
        return false;
    }
    Log(LogLevel::Warn, "could not enforce NLA: %s", "not applicable to xrdp");
    return true;
}

bool setupGate(SetupEnvironment& env, gate::GateStore& store, bool requireUserVerification,
               int grantSeconds, std::string& error) {
    if (!env.elevated) {
        error = "administrator rights are required";
        return false;
    }
    env.print("[1/7] Data directory: " + env.dataDirectory);
    if (!secureDataDirectory(env.dataDirectory, error)) return false;

    env.print("[2/7] Loading configuration");
    if (!store.load(JoinPath(env.dataDirectory, "gate.json"), error)) return false;
    if (firewall::isDisarmed(env.dataDirectory)) {
        std::string markerError;
        if (firewall::setDisarmed(env.dataDirectory, false, markerError)) {
            env.print("      removed the 'disarmed' marker left by an earlier recovery");
        } else {
            env.print("      WARNING: could not remove the 'disarmed' marker: " + markerError);
        }
    }
    gate::GateConfig config = store.config();
    env.services.setRemoteDesktopUnit(config.rdpService);
    config.requireUserVerification = requireUserVerification;
    if (grantSeconds > 0) {
        config.grantSeconds =
            std::clamp<std::int32_t>(grantSeconds, gate::kMinGrantSeconds, gate::kMaxGrantSeconds);
    }

    env.print("[3/7] TLS certificate");
    admin::CertificateInfo certificate;
    if (!admin::ensureCertificate(env.dataDirectory, env.computerName, certificate, error)) {
        return false;
    }
    config.certThumbprint = certificate.thumbprint;
    store.setConfig(config);
    if (!store.save(error)) return false;
    env.print("      " + certificate.text);
    env.print("      SHA-256 fingerprint: " + certificate.fingerprint);

    env.print(format("[4/7] Binding the certificate to port %u", config.listenPort));
    if (!bindCertificate(certificate, error)) return false;

    env.print("[5/7] Enabling Remote Desktop with NLA");
    std::string rdpState;
    if (env.services.termServiceState(rdpState) && rdpState == "not installed") {
        // The gate still guards the port; the administrator names the unit in gate.json.
        env.print("      WARNING: " + config.rdpService +
                  " is not installed; set \"rdpService\" in gate.json to the remote-desktop unit");
        Log(LogLevel::Warn, "setup: the remote-desktop unit %s is not installed",
            config.rdpService.c_str());
    } else if (!enableRemoteDesktopWithNla(env.services, error)) {
        return false;
    }

    if (!firewallStep(env, config, store.activeCredentialCount() > 0, error)) return false;

    env.print("[7/7] Registering the service");
    return env.services.installService(env.executablePath, error) &&
           env.services.installFirewallUnit(env.executablePath, error) &&
           env.services.startService(error);
}

bool uninstallGate(SetupEnvironment& env, std::string& error) {
    if (!env.elevated) {
        error = "administrator rights are required";
        return false;
    }
    env.print("Stopping and removing the service");
    std::string ignored;
    static_cast<void>(env.services.stopService(ignored));
    if (!env.services.deleteService(error)) return false;
    if (!env.services.deleteFirewallUnit(error)) return false;

    env.print("Removing firewall rules created by the gate");
    // Enforcement stays on: the kernel keeps the projection of the store, whose Remote Desktop
    // rules are still disabled, so the port stays closed without the service.
    firewall::Firewall firewall(env.firewallStore, env.nft);
    std::string firewallError;
    if (firewall.removeAllGrantRules(firewallError) < 0) {
        Log(LogLevel::Warn, "uninstall could not remove the grant rules: %s",
            firewallError.c_str());
    }
    if (!firewall.removeRule(firewall::kServiceRuleName, firewallError)) {
        Log(LogLevel::Warn, "uninstall could not remove the gate's port rule: %s",
            firewallError.c_str());
    }

    // The gate itself was the only holder of the binding; the certificate stays for a later setup.
    env.print("Removing the certificate binding");

    env.print("");
    env.print("The RDP port stays closed until the next boot: the allow rules are disabled and");
    env.print("the kernel keeps the table inet velmora. velmora-firewall.service is removed, so");
    env.print("the port reopens at the next boot unless the rules are kept, for instance with");
    env.print("  nft list table inet velmora >> /etc/nftables.conf");
    env.print("To restore ordinary RDP access now:  Velmora.exe unlock");
    return true;
}

bool writeResultFile(const std::string& path, const std::string& code, const std::string& error,
                     const gate::GateConfig& config, std::size_t keyCount) {
    std::string ips;
    for (const net::IpAddress& address : LocalIpv4Addresses()) {
        ips += (ips.empty() ? "" : ", ") + net::formatIpAddress(address);
    }
    const std::string text =
        "code=" + code + "\nerror=" + error + "\nmachine=" + config.machineName +
        "\nport=" + std::to_string(config.listenPort) +
        "\ngrant=" + std::to_string(config.grantSeconds) + "\nkeys=" + std::to_string(keyCount) +
        "\nthumbprint=" + config.certThumbprint + "\nips=" + ips + "\n";
    return WriteFileAtomic(path, text);
}

int RunSetup(const std::vector<std::string>& args, SetupEnvironment& env) {
    bool userVerification = false;
    int grant = 0;
    int port = 0;
    std::string resultPath;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        const char* option = args[i].c_str();
        if (::strcasecmp(option, "--uv") == 0) {
            userVerification = true;
        } else if (::strcasecmp(option, "--grant") == 0 && hasValue) {
            grant = parseInteger(args[++i]);
        } else if (::strcasecmp(option, "--port") == 0 && hasValue) {
            port = parseInteger(args[++i]);
        } else if (::strcasecmp(option, "--code-file") == 0 && hasValue) {
            resultPath = args[++i];
        }
    }

    gate::GateStore store;
    std::string error;
    bool ok = true;
    // Written before the steps run so that every step sees the new port; without elevation
    // setup changes nothing and fails at its first step.
    if (port > 0 && env.elevated) {
        ok = EnsureDirectory(env.dataDirectory) &&
             store.load(JoinPath(env.dataDirectory, "gate.json"), error);
        if (ok) {
            gate::GateConfig config = store.config();
            config.listenPort = static_cast<std::uint16_t>(std::min(port, 65535));
            store.setConfig(config);
            ok = store.save(error);
        } else if (error.empty()) {
            error = "cannot create " + env.dataDirectory;
        }
    }
    ok = ok && setupGate(env, store, userVerification, grant, error);

    std::string code;
    std::string codeError;
    if (ok) code = store.issueEnrollmentCode(kEnrollmentCodeSeconds, codeError);

    const gate::GateConfig config = store.config();
    if (!resultPath.empty()) {
        if (writeResultFile(resultPath, code, ok ? std::string() : error, config,
                            store.activeCredentialCount())) {
            env.print("      result written to " + resultPath);
        } else {
            env.print("      WARNING: could not write the result file " + resultPath);
        }
    }
    if (!ok) {
        env.print("ERROR: " + error);
        return 1;
    }
    env.print("");
    env.print(kRuleLine);
    env.print(" Setup complete.");
    env.print(kRuleLine);
    env.print("");
    env.print("  Machine:      " + config.machineName);
    env.print(format("  Gate port:    %u", config.listenPort));
    env.print(format("  Access window: %u sec.", static_cast<unsigned>(config.grantSeconds)));
    env.print("  Thumbprint:   " + config.certThumbprint);
    env.print("");
    if (!code.empty()) {
        env.print("  KEY ENROLLMENT CODE (valid for 15 minutes):");
        env.print("        " + code);
    } else {
        env.print("  WARNING: failed to issue an enrollment code: " + codeError);
    }
    env.print("");
    env.print("  IMPORTANT: the RDP port keeps working as before for now.");
    env.print("  It will close ITSELF the moment the first key is enrolled \u2014");
    env.print("  until then you will not lose access to the machine.");
    env.print("");
    env.print("  Enter the code in the client: \"Add\" -> \"Enroll key...\".");
    return 0;
}

int RunUninstall(SetupEnvironment& env) {
    std::string error;
    if (uninstallGate(env, error)) return 0;
    env.print("ERROR: " + error);
    return 1;
}

namespace {

// The machine's own facilities: systemd, the rule store in the data directory and nft.
template <typename Body>
int WithSystemEnvironment(Body body) {
    const std::string directory = DataDirectory();
    std::unique_ptr<Systemctl> systemctl = MakeSystemctl();
    ServiceControl services(*systemctl);
    firewall::FileFirewallStore firewallStore(directory);
    NftCommand nft;
    SetupEnvironment env{directory,    ExecutablePath(), admin::ComputerName(),
                         isElevated(), services,         firewallStore,
                         nft,          WriteConsoleLine};
    return body(env);
}

}  // namespace

int CmdSetup(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    return WithSystemEnvironment([&args](SetupEnvironment& env) { return RunSetup(args, env); });
}

int CmdUninstall(int, char**) {
    return WithSystemEnvironment([](SetupEnvironment& env) { return RunUninstall(env); });
}

}  // namespace vel::admin
