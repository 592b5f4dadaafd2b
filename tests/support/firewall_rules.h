#pragma once

#include <string>
#include <vector>

#include "firewall/firewall_store.h"

namespace vel::test {

// An inbound rule on every profile, the kind every firewall test builds.
firewall::FirewallRule InboundRule(std::string name, std::string grouping, int protocol,
                                   std::string localPorts, bool enabled,
                                   firewall::RuleAction action = firewall::RuleAction::Allow);

// The rule of that name, or null.
const firewall::FirewallRule* FindRule(const std::vector<firewall::FirewallRule>& rules,
                                       const std::string& name);

}  // namespace vel::test
