#include "app/recovery_roles.h"

#include <chrono>
#include <memory>
#include <thread>

#include "app/console.h"
#include "core/paths.h"
#include "gate/update_apply.h"
#include "guard/admin_commands.h"
#include "guard/firewall_store_file.h"
#include "guard/recovery_commands.h"
#include "guard/tcp_table.h"

namespace vel {

namespace {

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
        gate::kDefaultInstalledPath,
    };
    return command(system);
}

}  // namespace

int CmdUnlock(int, char**) {
    return gate::RequireElevation(WriteConsoleLine) ? RunWithSystem(gate::RunUnlock) : 1;
}

int CmdArm(int, char**) {
    return gate::RequireElevation(WriteConsoleLine) ? RunWithSystem(gate::RunArm) : 1;
}

int CmdDiag(int, char**) {
    return RunWithSystem(gate::RunDiag);
}

}  // namespace vel
