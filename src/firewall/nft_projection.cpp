#include "firewall/nft_projection.h"

#include <algorithm>
#include <set>
#include <vector>

#include "core/crypto.h"
#include "core/encoding.h"
#include "firewall/remote_addresses.h"

namespace vel::firewall {

namespace {

struct CoveredPort {
    int protocol;
    std::uint16_t port;
    std::string chain;
};

std::vector<CoveredPort> coveredPorts(const EnforcementSettings& settings) {
    std::vector<CoveredPort> ports;
    ports.push_back({kProtocolTcp, settings.rdpPort, "tcp_" + std::to_string(settings.rdpPort)});
    for (unsigned i = 0; i < kStreamPortCount && settings.streamPort + i <= 65535; ++i) {
        const auto port = static_cast<std::uint16_t>(settings.streamPort + i);
        ports.push_back({kProtocolUdp, port, "udp_" + std::to_string(port)});
    }
    return ports;
}

// Addresses are written from their parsed form, never copied from the store's text, so nothing
// in a rule can inject syntax into the script.
std::string rangeText(const net::IpRange& range) {
    const std::string first = net::formatIpAddress(range.first);
    if (range.first == range.last) return first;
    const int length = net::prefixLengthOf(range);
    if (length >= 0) return first + "/" + std::to_string(length);
    return first + "-" + net::formatIpAddress(range.last);
}

void appendRuleLines(const FirewallPolicy& policy, FirewallProfile profile, const CoveredPort& port,
                     RuleAction action, std::vector<std::string>& lines) {
    const char* verdict = action == RuleAction::Allow ? "accept" : "return";
    for (const FirewallRule& rule : policy.rules) {
        if (!rule.enabled || rule.direction != RuleDirection::In || rule.action != action ||
            (rule.profiles & static_cast<std::uint32_t>(profile)) == 0 ||
            !ruleExposesPort(rule, port.port, port.protocol)) {
            continue;
        }
        std::vector<AddressRange> ranges;
        // An entry that cannot be read opens nothing, and blocks everything.
        if (!parseRemoteAddresses(rule.remoteAddresses, ranges) && action == RuleAction::Block) {
            ranges.assign(1, AddressRange{});
            ranges.front().any = true;
        }
        for (const AddressRange& range : ranges) {
            if (range.any) {
                lines.push_back(verdict);
            } else {
                lines.push_back(std::string(range.range.first.isV6 ? "ip6 saddr " : "ip saddr ") +
                                rangeText(range.range) + " " + verdict);
            }
        }
    }
}

// The statements deciding one port on one profile: a "return" leaves the profile without
// letting the packet through, an "accept" lets it through.
std::vector<std::string> profileLines(const FirewallPolicy& policy, FirewallProfile profile,
                                      const CoveredPort& port) {
    const FirewallProfileSettings& settings = policy.profile(profile);
    if (!settings.firewallEnabled) return {"accept"};
    std::vector<std::string> lines;
    appendRuleLines(policy, profile, port, RuleAction::Block, lines);
    appendRuleLines(policy, profile, port, RuleAction::Allow, lines);
    if (settings.defaultInboundAction == RuleAction::Allow) lines.push_back("accept");

    // Drop repeats, everything after the first unconditional verdict, and trailing returns,
    // which only say what the end of the chain says anyway.
    std::vector<std::string> result;
    std::set<std::string> seen;
    for (std::string& line : lines) {
        if (!seen.insert(line).second) continue;
        result.push_back(std::move(line));
        if (result.back() == "accept" || result.back() == "return") break;
    }
    while (!result.empty() && result.back().ends_with("return")) result.pop_back();
    return result;
}

void appendChain(std::string& script, const std::string& name,
                 const std::vector<std::string>& statements) {
    script += "\tchain " + name + " {\n";
    for (const std::string& statement : statements) script += "\t\t" + statement + "\n";
    script += "\t}\n";
}

}  // namespace

namespace {

// The projection with `mark` as the comment of its first rule.
std::string markedScript(const FirewallPolicy& policy, const std::string& mark) {
    const std::vector<CoveredPort> ports = coveredPorts(policy.enforcement);
    std::string script = nftRemovalScript();
    script += std::string("table ") + kNftTable + " {\n";

    std::vector<std::string> input = {"type filter hook input priority filter; policy accept;"};
    for (const CoveredPort& port : ports) {
        input.push_back(std::string(port.protocol == kProtocolTcp ? "tcp" : "udp") + " dport " +
                        std::to_string(port.port) + " jump " + port.chain);
    }
    input[1] += " comment \"" + mark + "\"";
    appendChain(script, "input", input);

    for (const CoveredPort& port : ports) {
        std::vector<std::string> statements = {"iif \"lo\" accept",
                                               "ct state established,related accept"};
        // Profiles that decide alike share one chain.
        std::vector<std::pair<std::string, std::vector<std::string>>> profileChains;
        for (FirewallProfile profile : kFirewallProfiles) {
            std::vector<std::string> lines = profileLines(policy, profile, port);
            const bool known =
                std::any_of(profileChains.begin(), profileChains.end(),
                            [&](const auto& chain) { return chain.second == lines; });
            if (lines.empty() || known) continue;
            const std::string chain = port.chain + "_" + FirewallProfileName(profile);
            statements.push_back("jump " + chain);
            profileChains.emplace_back(chain, std::move(lines));
        }
        statements.push_back("drop");
        appendChain(script, port.chain, statements);
        for (const auto& [chain, lines] : profileChains) appendChain(script, chain, lines);
    }
    script += "}\n";
    return script;
}

}  // namespace

std::string nftProjectionMark(const FirewallPolicy& policy) {
    const std::string unmarked = markedScript(policy, "");
    const Bytes digest = Sha256(Bytes(unmarked.begin(), unmarked.end()));
    return std::string(kNftMarkPrefix) + HexEncode(Bytes(digest.begin(), digest.begin() + 8));
}

std::string nftProjectionScript(const FirewallPolicy& policy) {
    return markedScript(policy, nftProjectionMark(policy));
}

std::string nftRemovalScript() {
    // Declaring the table first makes the deletion succeed when it does not exist yet.
    return std::string("table ") + kNftTable + "\ndelete table " + kNftTable + "\n";
}

}  // namespace vel::firewall
