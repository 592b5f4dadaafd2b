#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/tls_certificate.h"
#include "firewall/firewall_store.h"
#include "gate/gate_store.h"
#include "os/nft_runner.h"
#include "os/service_control.h"

namespace vel::admin {

// Everything setup and uninstall touch outside the process, so that tests can substitute it.
struct SetupEnvironment {
    std::string dataDirectory;
    std::string executablePath;
    std::string computerName;
    bool elevated = false;
    ServiceControl& services;
    firewall::FirewallStore& firewallStore;
    NftRunner& nft;
    std::function<void(std::string_view)> print;
};

// Creates the directory when missing and restricts it to its owner (root when elevated).
[[nodiscard]] bool secureDataDirectory(const std::string& path, std::string& error);

// The binding is the gate loading the pair whose thumbprint is certThumbprint; storing it is all
// that is left to do here.
[[nodiscard]] bool bindCertificate(const admin::CertificateInfo& info, std::string& error);

// Enables the remote-desktop unit at boot.
[[nodiscard]] bool enableRemoteDesktopWithNla(ServiceControl& services, std::string& error);

// The seven setup steps, printed as they run. grantSeconds 0 keeps the stored duration.
[[nodiscard]] bool setupGate(SetupEnvironment& env, gate::GateStore& store,
                             bool requireUserVerification, int grantSeconds, std::string& error);
[[nodiscard]] bool uninstallGate(SetupEnvironment& env, std::string& error);

// The key=value result file for installers.
[[nodiscard]] bool writeResultFile(const std::string& path, const std::string& code,
                                   const std::string& error, const gate::GateConfig& config,
                                   std::size_t keyCount);

// The command bodies over an environment; args[0] is the program, args[1] the command word.
int RunSetup(const std::vector<std::string>& args, SetupEnvironment& env);
int RunUninstall(SetupEnvironment& env);

int CmdSetup(int argc, char** argv);
int CmdUninstall(int argc, char** argv);

}  // namespace vel::admin
