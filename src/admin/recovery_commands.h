#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "firewall/firewall_store.h"
#include "gate/gate_store.h"
#include "os/nft_runner.h"
#include "os/service_control.h"

namespace vel::admin {

// Everything the recovery commands touch outside their own logic.
struct RecoverySystem {
    ServiceControl& service;
    firewall::FirewallStore& firewallStore;
    NftRunner& nft;
    std::function<void(std::string_view line)> print;
    std::function<void(int milliseconds)> sleep;
    std::function<bool(std::uint16_t port)> isListening;
    std::string dataDirectory;  // gate.json, enrollment.json and the disarmed marker
    std::string programPath;    // this executable
    std::string installedPath;  // the copy the service runs
};

// Loads gate.json from dataDirectory into store when it exists; without it, or when it
// cannot be read, config keeps the defaults. A missing file is not created.
[[nodiscard]] bool LoadGateConfig(const std::string& dataDirectory, gate::GateStore& store,
                                  gate::GateConfig& config);

// Restores ordinary remote-desktop access; every step is attempted whatever happened before.
// Returns 0 after the report.
int RunUnlock(RecoverySystem& system);
// Undoes unlock: 0 when the service started, 1 otherwise.
int RunArm(RecoverySystem& system);
// Explains why the remote-desktop port is or is not reachable. Returns 0.
int RunDiag(RecoverySystem& system);

}  // namespace vel::admin
