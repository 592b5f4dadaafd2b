#pragma once

#include "firewall/firewall_store.h"
#include "os/nft_runner.h"

namespace vel::app {

// `velmora --apply-firewall`, run at boot by velmora-firewall.service: projects the rule store
// into the kernel. 0 when the kernel enforces it; 1, with the reason logged, when it does not.
int ApplyFirewall(firewall::FirewallStore& store, NftRunner& nft);

// The same over the data directory's store and the system's nft.
int RunApplyFirewallRole();

}  // namespace vel::app
