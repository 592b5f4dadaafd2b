#include "support/firewall_rules.h"

#include <algorithm>
#include <utility>

namespace vel::test {

firewall::FirewallRule InboundRule(std::string name, std::string grouping, int protocol,
                                   std::string localPorts, bool enabled,
                                   firewall::RuleAction action) {
    firewall::FirewallRule rule;
    rule.name = std::move(name);
    rule.grouping = std::move(grouping);
    rule.protocol = protocol;
    rule.localPorts = std::move(localPorts);
    rule.enabled = enabled;
    rule.action = action;
    return rule;
}

const firewall::FirewallRule* FindRule(const std::vector<firewall::FirewallRule>& rules,
                                       const std::string& name) {
    const auto it = std::find_if(rules.begin(), rules.end(),
                                 [&](const firewall::FirewallRule& r) { return r.name == name; });
    return it == rules.end() ? nullptr : &*it;
}

}  // namespace vel::test
