#include "firewall/firewall_store.h"

#include <algorithm>

namespace vel::firewall {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The value of the leading decimal digits after any blanks; text without digits reads as 0.
// Values beyond any port saturate so they can never wrap onto one.
std::uint32_t leadingNumber(std::string_view text) {
    text = trim(text);
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value > 1000000 ? value : value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

std::size_t profileIndex(FirewallProfile which) {
    switch (which) {
        case FirewallProfile::Domain:
            return 0;
        case FirewallProfile::Private:
            return 1;
        case FirewallProfile::Public:
            return 2;
    }
    return 2;
}

}  // namespace

const char* FirewallProfileName(FirewallProfile profile) {
    switch (profile) {
        case FirewallProfile::Domain:
            return "domain";
        case FirewallProfile::Private:
            return "private";
        case FirewallProfile::Public:
            return "public";
    }
    return "public";
}

FirewallProfileSettings& FirewallPolicy::profile(FirewallProfile which) {
    return profiles[profileIndex(which)];
}

const FirewallProfileSettings& FirewallPolicy::profile(FirewallProfile which) const {
    return profiles[profileIndex(which)];
}

FirewallPolicy DefaultFirewallPolicy() {
    FirewallPolicy policy;
    FirewallRule rdp;
    rdp.name = kBuiltInRemoteDesktopRuleName;
    rdp.description =
        "Inbound rule for the Remote Desktop service to allow RDP traffic. [TCP 3389]";
    rdp.grouping = kRemoteDesktopGroup;
    rdp.protocol = kProtocolTcp;
    rdp.localPorts = "3389";
    rdp.direction = RuleDirection::In;
    rdp.action = RuleAction::Allow;
    rdp.enabled = true;
    rdp.profiles = kAllProfiles;
    policy.rules.push_back(std::move(rdp));
    return policy;
}

bool FirewallStore::rules(std::vector<FirewallRule>& out, std::string& error) {
    return read(
        [&](const FirewallPolicy& policy, std::string&) {
            out = policy.rules;
            return true;
        },
        error);
}

bool FirewallStore::addRule(const FirewallRule& rule, std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string&) {
            policy.rules.push_back(rule);
            return true;
        },
        error);
}

bool FirewallStore::removeRule(const std::string& name, std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string&) {
            std::erase_if(policy.rules, [&](const FirewallRule& r) { return r.name == name; });
            return true;
        },
        error);
}

bool FirewallStore::replaceRule(const std::string& oldName, const FirewallRule& rule,
                                std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string&) {
            std::erase_if(policy.rules, [&](const FirewallRule& r) { return r.name == oldName; });
            policy.rules.push_back(rule);
            return true;
        },
        error);
}

bool FirewallStore::setRuleEnabled(const FirewallRule& seen, bool enabled, std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string& changeError) {
            const auto it = std::find(policy.rules.begin(), policy.rules.end(), seen);
            if (it == policy.rules.end()) {
                changeError = "the rule '" + seen.name + "' was changed or removed meanwhile";
                return false;
            }
            it->enabled = enabled;
            return true;
        },
        error);
}

bool FirewallStore::firewallEnabled(FirewallProfile profile, bool& enabled, std::string& error) {
    return read(
        [&](const FirewallPolicy& policy, std::string&) {
            enabled = policy.profile(profile).firewallEnabled;
            return true;
        },
        error);
}

bool FirewallStore::setFirewallEnabled(FirewallProfile profile, bool enabled, std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string&) {
            policy.profile(profile).firewallEnabled = enabled;
            return true;
        },
        error);
}

bool FirewallStore::defaultInboundAction(FirewallProfile profile, RuleAction& action,
                                         std::string& error) {
    return read(
        [&](const FirewallPolicy& policy, std::string&) {
            action = policy.profile(profile).defaultInboundAction;
            return true;
        },
        error);
}

bool FirewallStore::setDefaultInboundAction(FirewallProfile profile, RuleAction action,
                                            std::string& error) {
    return update(
        [&](FirewallPolicy& policy, std::string&) {
            policy.profile(profile).defaultInboundAction = action;
            return true;
        },
        error);
}

bool portListContains(std::string_view localPorts, std::uint16_t port) {
    if (localPorts.empty() || localPorts == "*") return false;
    for (;;) {
        const auto comma = localPorts.find(',');
        const std::string_view piece = trim(localPorts.substr(0, comma));
        if (const auto dash = piece.find('-'); dash != std::string_view::npos) {
            if (leadingNumber(piece.substr(0, dash)) <= port &&
                port <= leadingNumber(piece.substr(dash + 1))) {
                return true;
            }
        } else if (!piece.empty() && piece.front() >= '0' && piece.front() <= '9' &&
                   leadingNumber(piece) == port) {
            return true;
        }
        if (comma == std::string_view::npos) return false;
        localPorts.remove_prefix(comma + 1);
    }
}

bool ruleExposesPort(const FirewallRule& rule, std::uint16_t port, int protocol) {
    if (rule.protocol != protocol && rule.protocol != kProtocolAny) return false;
    if (portListContains(rule.localPorts, port)) return true;
    if (!rule.localPorts.empty() && rule.localPorts != "*") return false;
    return rule.applicationName.empty() && rule.serviceName.empty() &&
           rule.localAppPackageId.empty() && rule.localUserOwner.empty();
}

}  // namespace vel::firewall
