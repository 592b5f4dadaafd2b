#include "app/recovery_roles.h"

#include <chrono>
#include <memory>
#include <thread>

#include "app/console.h"
#include "core/paths.h"
#include "core/privileges.h"
#include "guard/firewall_store_file.h"
#include "guard/recovery_commands.h"
#include "guard/tcp_table.h"

namespace vel {

namespace {

constexpr const char* kInstalledCopy = "/opt/velmora/velmora";

int RunWithSystem(int (*command)(gate::RecoverySystem&)) {
    std::unique_ptr<gate::Systemctl> systemctl = gate::MakeSystemctl();
    gate::ServiceControl service(*systemctl);
    gate::FileFirewallStore store(DataDirectory());
    gate::NftCommand nft;
    gate::RecoverySystem system{
        service,
        store,
        nft,
        [](std::string_view line) { WriteConsoleLine(line); },
        [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
        [](std::uint16_t port) { return gate::isTcpPortListening(port); },
        DataDirectory(),
        ExecutablePath(),
        kInstalledCopy,
    };
    return command(system);
}

bool RequireElevation() {
    if (isElevated()) return true;
    WriteConsoleLine("ERROR: administrator rights are required.");
    return false;
}

}  // namespace

int CmdUnlock(int, char**) {
    return RequireElevation() ? RunWithSystem(gate::RunUnlock) : 1;
}

int CmdArm(int, char**) {
    return RequireElevation() ? RunWithSystem(gate::RunArm) : 1;
}

int CmdDiag(int, char**) {
    return RunWithSystem(gate::RunDiag);
}

}  // namespace vel
