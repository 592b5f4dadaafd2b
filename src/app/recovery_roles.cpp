#include "app/recovery_roles.h"

#include <chrono>
#include <memory>
#include <thread>

#include "admin/admin_commands.h"
#include "admin/recovery_commands.h"
#include "admin/update_apply.h"
#include "firewall/firewall_store_file.h"
#include "os/console.h"
#include "os/paths.h"
#include "os/tcp_table.h"

namespace vel::app {

namespace {

int RunWithSystem(int (*command)(admin::RecoverySystem&)) {
    std::unique_ptr<Systemctl> systemctl = MakeSystemctl();
    ServiceControl service(*systemctl);
    firewall::FileFirewallStore store(DataDirectory());
    NftCommand nft;
    admin::RecoverySystem system{
        service,
        store,
        nft,
        [](std::string_view line) { WriteConsoleLine(line); },
        [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
        [](std::uint16_t port) { return IsListening(SystemTcpTable().rows(), port); },
        DataDirectory(),
        ExecutablePath(),
        admin::kDefaultInstalledPath,
    };
    return command(system);
}

}  // namespace

int CmdUnlock(int, char**) {
    return admin::RequireElevation(WriteConsoleLine) ? RunWithSystem(admin::RunUnlock) : 1;
}

int CmdArm(int, char**) {
    return admin::RequireElevation(WriteConsoleLine) ? RunWithSystem(admin::RunArm) : 1;
}

int CmdDiag(int, char**) {
    return RunWithSystem(admin::RunDiag);
}

}  // namespace vel::app
