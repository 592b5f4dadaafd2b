#pragma once

#include <string>

#include "firewall/firewall_store.h"

namespace vel::firewall {

// The nftables table the gate owns. Nothing else of the ruleset is ever touched.
inline constexpr const char* kNftTable = "inet velmora";

// Number of UDP ports from streamPort on that stream sessions use.
inline constexpr unsigned kStreamPortCount = 4;

// The comment the projection carries on its first rule: the prefix and a hash of the rest of
// the script, so that the kernel's table can be recognised as the projection of one policy.
inline constexpr const char* kNftMarkPrefix = "velmora ";
std::string nftProjectionMark(const FirewallPolicy& policy);

// The script that atomically replaces the gate's table with the projection of the policy's rules
// onto the ports its enforcement settings name (whether or not enforcement is switched on).
// Inbound traffic to such a port is dropped unless the policy lets it through on some profile:
// a profile whose firewall is off lets everything through; otherwise enabled inbound block rules
// for the port win, then enabled inbound allow rules pass their remote addresses, and the
// profile's default inbound action decides the rest. Established flows and loopback pass, as
// Windows Firewall never filters them.
std::string nftProjectionScript(const FirewallPolicy& policy);

// The script that removes the gate's table, if there is one.
std::string nftRemovalScript();

}  // namespace vel::firewall
