#include "app/firewall_role.h"

#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "os/console.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::app {

namespace {

int refuse(const std::string& reason) {
    Log(LogLevel::Error, "the firewall rules were not applied at boot: %s", reason.c_str());
    WriteConsoleLine("The firewall rules were not applied: " + reason);
    return 1;
}

}  // namespace

int ApplyFirewall(firewall::FirewallStore& store, NftRunner& nft) {
    firewall::Firewall firewall(store, nft);
    std::string error;
    firewall::EnforcementSettings settings;
    if (!firewall.enforcement(settings, error)) return refuse(error);
    if (!settings.enabled) {
        return refuse("nftables enforcement is off; run 'Velmora.exe setup' to switch it on");
    }
    if (!firewall.reproject(error)) return refuse(error);
    Log(LogLevel::Info, "firewall rules applied at boot (table inet velmora, RDP port %u)",
        static_cast<unsigned>(settings.rdpPort));
    return 0;
}

int RunApplyFirewallRole() {
    firewall::FileFirewallStore store(DataDirectory());
    NftCommand nft;
    return ApplyFirewall(store, nft);
}

}  // namespace vel::app
