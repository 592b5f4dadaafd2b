#include "firewall/nft_projection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "firewall/firewall.h"
#include "os/nft_runner.h"
#include "os/paths.h"
#include "support/firewall_rules.h"
#include "support/golden.h"

namespace vel::firewall {
namespace {

FirewallRule inboundRule(std::string name, int protocol, std::string localPorts,
                         std::string remoteAddresses, RuleAction action = RuleAction::Allow) {
    FirewallRule rule =
        test::InboundRule(std::move(name), "", protocol, std::move(localPorts), true, action);
    rule.remoteAddresses = std::move(remoteAddresses);
    return rule;
}

// The statements of one chain of a script; absent when the script has no such chain.
std::vector<std::string> chain(const std::string& script, const std::string& name) {
    std::vector<std::string> lines;
    const std::string header = "\tchain " + name + " {\n";
    std::size_t at = script.find(header);
    if (at == std::string::npos) return {"<absent>"};
    at += header.size();
    for (;;) {
        const std::size_t end = script.find('\n', at);
        std::string line = script.substr(at, end - at);
        if (line == "\t}") return lines;
        lines.push_back(line.substr(line.find_first_not_of('\t')));
        at = end + 1;
    }
}

using Lines = std::vector<std::string>;

TEST(NftProjection, AClosedMachineWithOneGrantAndOneStream) {
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.enforcement = {true, 3389, 7441};
    policy.rules.front().enabled = false;
    FirewallRule grant =
        inboundRule("Velmora - allow 10.0.0.5 [01234567]", kProtocolTcp, "3389", "10.0.0.5/32");
    grant.grouping = kGrantGroup;
    policy.rules.push_back(grant);
    FirewallRule stream =
        inboundRule("Velmora - stream for fe80::1 [89abcdef]", kProtocolUdp, "7442", "fe80::1/128");
    stream.grouping = kGrantGroup;
    policy.rules.push_back(stream);
    policy.rules.push_back(inboundRule(kServiceRuleName, kProtocolTcp, "443", "*"));

    std::string expected = test::Golden("nft-closed-machine.nft");
    expected.replace(expected.find("@MARK@"), 6, nftProjectionMark(policy));
    EXPECT_EQ(nftProjectionScript(policy), expected);
}

// A default policy whose rules are these alone.
FirewallPolicy policyOf(std::vector<FirewallRule> rules) {
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules = std::move(rules);
    return policy;
}

TEST(NftProjection, RulesCountOnlyWhereTheyApply) {
    std::vector<FirewallRule> rules = {
        inboundRule("udp only", kProtocolUdp, "3389", "10.1.0.1"),
        inboundRule("other port", kProtocolTcp, "80,443", "10.1.0.2"),
        inboundRule("disabled", kProtocolTcp, "3389", "10.1.0.3"),
        inboundRule("outbound", kProtocolTcp, "3389", "10.1.0.4"),
        inboundRule("program", kProtocolTcp, "*", "10.1.0.5"),
        inboundRule("public only", kProtocolTcp, "3389", "10.1.0.6"),
        inboundRule("any protocol, range", kProtocolAny, "7000-7442", "10.1.0.7")};
    rules[2].enabled = false;
    rules[3].direction = RuleDirection::Out;
    rules[4].applicationName = "/usr/bin/program";
    rules[5].profiles = static_cast<std::uint32_t>(FirewallProfile::Public);

    const std::string script = nftProjectionScript(policyOf(rules));
    EXPECT_EQ(chain(script, "tcp_3389_domain"), Lines{"<absent>"});
    EXPECT_EQ(chain(script, "tcp_3389_public"), Lines{"ip saddr 10.1.0.6 accept"});
    EXPECT_EQ(chain(script, "udp_7442_domain"), Lines{"ip saddr 10.1.0.7 accept"});
    EXPECT_EQ(chain(script, "udp_7443_domain"), Lines{"<absent>"});
}

TEST(NftProjection, ProfilesBlockRulesAndDefaultsFollowWindowsSemantics) {
    FirewallPolicy policy =
        policyOf({inboundRule("allowed", kProtocolTcp, "3389",
                              "10.0.0.1-10.0.0.9, 192.168.1.77/255.255.255.0,10.0.0.77/26, ::1"),
                  inboundRule("blocked", kProtocolTcp, "3389", "10.0.0.3", RuleAction::Block)});
    policy.profile(FirewallProfile::Private).firewallEnabled = false;
    policy.profile(FirewallProfile::Public).defaultInboundAction = RuleAction::Allow;

    std::string script = nftProjectionScript(policy);
    const Lines rules = {"ip saddr 10.0.0.3 return", "ip saddr 10.0.0.1-10.0.0.9 accept",
                         "ip saddr 192.168.1.0/24 accept", "ip saddr 10.0.0.64/26 accept",
                         "ip6 saddr ::1 accept"};
    // Block rules are decided first, so they win over allow rules and the default.
    EXPECT_EQ(chain(script, "tcp_3389_domain"), rules);
    // A profile whose firewall is off lets everything through.
    EXPECT_EQ(chain(script, "tcp_3389_private"), Lines{"accept"});
    Lines publicRules = rules;
    publicRules.push_back("accept");
    EXPECT_EQ(chain(script, "tcp_3389_public"), publicRules);

    // Profiles that decide alike share a chain.
    policy.profile(FirewallProfile::Private).firewallEnabled = true;
    policy.profile(FirewallProfile::Public).defaultInboundAction = RuleAction::Block;
    script = nftProjectionScript(policy);
    EXPECT_EQ(chain(script, "tcp_3389_private"), Lines{"<absent>"});
    EXPECT_EQ(chain(script, "tcp_3389_public"), Lines{"<absent>"});
}

TEST(NftProjection, UnreadableAddressesOpenNothingAndBlockEverything) {
    FirewallPolicy policy =
        policyOf({inboundRule("keyword", kProtocolTcp, "3389", "LocalSubnet,10.2.0.1"),
                  inboundRule("injection", kProtocolTcp, "3389",
                              "10.0.0.5 accept; flush ruleset; ip saddr 1.2.3.4"),
                  inboundRule("malformed", kProtocolTcp, "3389",
                              "gate.example.com,10.0.0.9-10.0.0.1,10.0.0.0/255.0.255.0,"
                              "10.0.0.0/33,fe80::/ffff::,10.0.0.1-fe80::1,,")});
    std::string script = nftProjectionScript(policy);
    EXPECT_EQ(chain(script, "tcp_3389_domain"), Lines{"ip saddr 10.2.0.1 accept"});
    EXPECT_EQ(script.find("flush"), std::string::npos);

    policy.rules.push_back(
        inboundRule("block keyword", kProtocolTcp, "3389", "DefaultGateway", RuleAction::Block));
    script = nftProjectionScript(policy);
    EXPECT_EQ(chain(script, "tcp_3389_domain"), Lines{"<absent>"});
}

TEST(NftProjection, TheKernelAcceptsTheScript) {
    if (::geteuid() != 0) GTEST_SKIP() << "checking a script with nft needs root";
    if (!FileExists("/usr/sbin/nft")) GTEST_SKIP() << "nft is not installed";
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules.push_back(inboundRule(
        "many", kProtocolAny, "3389,7441-7444",
        "10.0.0.1-10.0.0.9,192.168.1.0/255.255.255.0,2001:db8::/32,fe80::1,10.9.0.0/16"));
    policy.rules.push_back(
        inboundRule("deny", kProtocolTcp, "3389", "10.0.0.3,fd00::/8", RuleAction::Block));
    policy.profile(FirewallProfile::Private).firewallEnabled = false;
    policy.profile(FirewallProfile::Public).defaultInboundAction = RuleAction::Allow;

    // Check mode: nft parses and validates against the kernel without committing anything.
    NftCommand check({"nft", "-c"});
    std::string error;
    EXPECT_TRUE(check.apply(nftProjectionScript(policy), error)) << error;
    EXPECT_TRUE(check.apply(nftRemovalScript(), error)) << error;
}

}  // namespace
}  // namespace vel::firewall
