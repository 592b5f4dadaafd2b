#include "guard/firewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/log.h"
#include "core/paths.h"
#include "support/memory_firewall_store.h"
#include "support/temp_directory.h"

namespace vel::gate {
namespace {

FirewallRule inboundRule(std::string name, std::string grouping, int protocol,
                         std::string localPorts, bool enabled,
                         RuleAction action = RuleAction::Allow) {
    FirewallRule rule;
    rule.name = std::move(name);
    rule.grouping = std::move(grouping);
    rule.protocol = protocol;
    rule.localPorts = std::move(localPorts);
    rule.enabled = enabled;
    rule.action = action;
    return rule;
}

const FirewallRule* findRule(const FirewallPolicy& policy, const std::string& name) {
    for (const FirewallRule& rule : policy.rules) {
        if (rule.name == name) return &rule;
    }
    return nullptr;
}

std::vector<std::string> namesOf(const std::vector<FirewallRule>& rules) {
    std::vector<std::string> names;
    for (const FirewallRule& rule : rules) names.push_back(rule.name);
    return names;
}

// Points the process log at a fresh file so a test can see what an operation logged.
class LogCapture {
  public:
    LogCapture() { InitLog(dir_.path(), "gate"); }
    std::string text() const {
        std::string text;
        ReadFileText(JoinPath(dir_.path(), "gate.log"), text);
        return text;
    }

  private:
    TempDirectory dir_;
};

TEST(FirewallPorts, LocalPortListsMatchPiecesRangesAndNothingElse) {
    EXPECT_TRUE(portListContains("3389", 3389));
    EXPECT_TRUE(portListContains("3000-4000", 3389));
    EXPECT_TRUE(portListContains("3389-3389", 3389));
    EXPECT_TRUE(portListContains("80, 3389 ,443", 3389));
    EXPECT_TRUE(portListContains("80,\t3000 - 4000", 3389));
    EXPECT_TRUE(portListContains("RPC,3389", 3389));

    EXPECT_FALSE(portListContains("4000-5000", 3389));
    EXPECT_FALSE(portListContains("3390", 3389));
    EXPECT_FALSE(portListContains("33890", 3389));
    EXPECT_FALSE(portListContains("*", 3389));
    EXPECT_FALSE(portListContains("", 3389));
    EXPECT_FALSE(portListContains("80,,443", 3389));
    EXPECT_FALSE(portListContains("4000-3000", 3389));
    // Keywords never match, not even a port that non-numeric text would read as.
    EXPECT_FALSE(portListContains("RPC", 0));
    EXPECT_FALSE(portListContains("RPC-EPMap", 3389));
    // A huge number must not wrap around onto the port.
    EXPECT_FALSE(portListContains("4294970685", 3389));
    EXPECT_FALSE(portListContains("18446744073709555005", 3389));
}

TEST(FirewallPorts, ExposureFollowsProtocolPortsAndRestrictions) {
    FirewallRule rule = inboundRule("r", "", kProtocolTcp, "3389", true);
    EXPECT_TRUE(ruleExposesPort(rule, 3389));

    rule.localPorts = "*";
    EXPECT_TRUE(ruleExposesPort(rule, 3389));
    rule.localPorts = "";
    EXPECT_TRUE(ruleExposesPort(rule, 3389));
    rule.localPorts = "80,443";
    EXPECT_FALSE(ruleExposesPort(rule, 3389));

    rule.localPorts = "3389";
    rule.protocol = kProtocolUdp;
    EXPECT_FALSE(ruleExposesPort(rule, 3389));
    rule.localPorts = "*";
    EXPECT_FALSE(ruleExposesPort(rule, 3389));
    EXPECT_TRUE(ruleExposesPort(rule, 7441, kProtocolUdp));
    rule.protocol = kProtocolAny;
    rule.localPorts = "3389";
    EXPECT_TRUE(ruleExposesPort(rule, 3389));
    EXPECT_TRUE(ruleExposesPort(rule, 3389, kProtocolUdp));
    rule.protocol = 1;  // ICMP
    EXPECT_FALSE(ruleExposesPort(rule, 3389));

    // Any port, but narrowed to a program or account: not an exposure. Naming the port is.
    const auto narrowed = [](void (*narrow)(FirewallRule&)) {
        FirewallRule r = inboundRule("n", "", kProtocolTcp, "*", true);
        narrow(r);
        const bool anyPort = ruleExposesPort(r, 3389);
        r.localPorts = "3389";
        return std::make_pair(anyPort, ruleExposesPort(r, 3389));
    };
    const auto expected = std::make_pair(false, true);
    EXPECT_EQ(narrowed([](FirewallRule& r) { r.applicationName = "/usr/bin/app"; }), expected);
    EXPECT_EQ(narrowed([](FirewallRule& r) { r.serviceName = "xrdp"; }), expected);
    EXPECT_EQ(narrowed([](FirewallRule& r) { r.localAppPackageId = "S-1-15-2-1"; }), expected);
    EXPECT_EQ(narrowed([](FirewallRule& r) { r.localUserOwner = "S-1-5-21-1"; }), expected);
}

TEST(FirewallAddresses, OnlyOneLiteralAddressIsAValidRemoteAddress) {
    EXPECT_TRUE(isValidRemoteAddress("10.0.0.5"));
    EXPECT_TRUE(isValidRemoteAddress("fe80::1"));
    EXPECT_TRUE(isValidRemoteAddress("::ffff:10.0.0.5"));

    EXPECT_FALSE(isValidRemoteAddress("10.0.0.5,0.0.0.0/0"));
    EXPECT_FALSE(isValidRemoteAddress("*"));
    EXPECT_FALSE(isValidRemoteAddress("10.0.0.5/24"));
    EXPECT_FALSE(isValidRemoteAddress("fe80::1/64"));
    EXPECT_FALSE(isValidRemoteAddress(""));
    EXPECT_FALSE(isValidRemoteAddress("gate.example.com"));
    EXPECT_FALSE(isValidRemoteAddress("localhost"));
    EXPECT_FALSE(isValidRemoteAddress(" 10.0.0.5"));
    EXPECT_FALSE(isValidRemoteAddress("10.0.0.1-10.0.0.9"));
    EXPECT_FALSE(isValidRemoteAddress(std::string_view("10.0.0.5\0,0.0.0.0/0", 19)));
    EXPECT_FALSE(isValidRemoteAddress(std::string(46, '1')));

    EXPECT_EQ(hostRemoteAddress("10.0.0.5", false), "10.0.0.5/32");
    EXPECT_EQ(hostRemoteAddress("fe80::1", true), "fe80::1/128");
}

// A machine with the usual mix: the operating system's Remote Desktop rules (one on another port,
// one a block rule), a program's any-port rule, the gate's own rules and unrelated rules.
FirewallPolicy mixedPolicy() {
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules.push_back(inboundRule("Remote Desktop - Shadow (TCP-In)", kRemoteDesktopGroup,
                                       kProtocolTcp, "", true));
    policy.rules.push_back(inboundRule("Remote Desktop - User Mode (UDP-In)", kRemoteDesktopGroup,
                                       kProtocolUdp, "3389", true));
    policy.rules.push_back(inboundRule("Remote Desktop - blocked", kRemoteDesktopGroup,
                                       kProtocolTcp, "3389", false, RuleAction::Block));
    policy.rules.push_back(inboundRule("Open everything", "", kProtocolAny, "*", true));
    policy.rules.push_back(inboundRule("RDP range", "Admins", kProtocolTcp, "3000-4000", true));
    FirewallRule program = inboundRule("Some program", "", kProtocolTcp, "*", true);
    program.applicationName = "/usr/bin/program";
    policy.rules.push_back(program);
    policy.rules.push_back(inboundRule("Web", "", kProtocolTcp, "80, 443", true));
    policy.rules.push_back(inboundRule("DNS over UDP", "", kProtocolUdp, "*", true));
    policy.rules.push_back(
        inboundRule("Deny RDP", "", kProtocolTcp, "3389", true, RuleAction::Block));
    policy.rules.push_back(inboundRule("Old RDP rule", "", kProtocolTcp, "3389", false));
    FirewallRule outbound = inboundRule("Outbound RDP", "", kProtocolTcp, "3389", true);
    outbound.direction = RuleDirection::Out;
    policy.rules.push_back(outbound);
    policy.rules.push_back(inboundRule("Velmora - allow 10.0.0.5 [0a1b2c3d]", kGrantGroup,
                                       kProtocolTcp, "3389", true));
    policy.rules.push_back(inboundRule("Velmora - allow 10.0.0.6 [0a1b2c3e]", kGrantGroup,
                                       kProtocolTcp, "3389", false));
    policy.rules.push_back(inboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "*", true));
    return policy;
}

TEST(FirewallSuppression, ClosesEveryExposureButTheGatesOwnAndRestoresThem) {
    LogCapture log;
    MemoryFirewallStore store(mixedPolicy());
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    std::vector<std::string> names;
    EXPECT_EQ(firewall.suppressAllowRules(3389, error, &names), 5) << error;
    const std::vector<std::string> expectedClosed = {
        kBuiltInRemoteDesktopRuleName, "Remote Desktop - Shadow (TCP-In)",
        "Remote Desktop - User Mode (UDP-In)", "Open everything", "RDP range"};
    EXPECT_EQ(names, expectedClosed);

    FirewallPolicy after = store.policy();
    for (const std::string& name : expectedClosed) EXPECT_FALSE(findRule(after, name)->enabled);
    for (const char* spared : {"Some program", "Web", "DNS over UDP", "Deny RDP", "Outbound RDP",
                               "Velmora - allow 10.0.0.5 [0a1b2c3d]", kServiceRuleName}) {
        EXPECT_TRUE(findRule(after, spared)->enabled) << spared;
    }
    EXPECT_NE(log.text().find("disabled inbound allow rule exposing port 3389: 'RDP range'"),
              std::string::npos);

    // Nothing is left to close; enforcement is off, so nft is never asked.
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), 0);
    EXPECT_TRUE(nft.scripts.empty());

    std::vector<std::string> restored;
    ASSERT_TRUE(firewall.enableRdpAccess(3389, restored, error)) << error;
    std::vector<std::string> expectedRestored = {kBuiltInRemoteDesktopRuleName,
                                                 "Remote Desktop - Shadow (TCP-In)",
                                                 "Remote Desktop - User Mode (UDP-In)",
                                                 "Remote Desktop - blocked",
                                                 "Open everything",
                                                 "RDP range",
                                                 "Old RDP rule"};
    EXPECT_EQ(restored, expectedRestored);
    after = store.policy();
    EXPECT_TRUE(findRule(after, "Remote Desktop - blocked")->enabled);
    // A disabled grant never comes back: it was closed on purpose.
    EXPECT_FALSE(findRule(after, "Velmora - allow 10.0.0.6 [0a1b2c3e]")->enabled);
    EXPECT_NE(log.text().find("restored inbound rule 'Old RDP rule'"), std::string::npos);
}

TEST(FirewallSuppression, ARuleThatCannotBeChangedIsSkippedAndNotCounted) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;
    ASSERT_TRUE(firewall.connect(error));

    store.failUpdates("read-only file system");
    std::vector<std::string> names;
    EXPECT_EQ(firewall.suppressAllowRules(3389, error, &names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_NE(log.text().find("could not disable allow rule 'Remote Desktop - User Mode (TCP-In)'"),
              std::string::npos);
    EXPECT_TRUE(store.policy().rules.front().enabled);
}

TEST(FirewallQueries, RulesForPortAndGrantListingReportWhatTheyFind) {
    MemoryFirewallStore store(mixedPolicy());
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    std::vector<std::string> names;
    for (const Firewall::PortRule& rule : firewall.rulesForPort(3389, error)) {
        names.push_back(rule.name);
        if (rule.name == "Deny RDP") {
            EXPECT_FALSE(rule.allow);
        }
        if (rule.name == "Old RDP rule") {
            EXPECT_FALSE(rule.enabled);
        }
        if (rule.name == "RDP range") {
            EXPECT_EQ(rule.grouping, "Admins");
            EXPECT_EQ(rule.localPorts, "3000-4000");
            EXPECT_EQ(rule.remoteAddresses, "*");
            EXPECT_TRUE(rule.allow && rule.enabled);
        }
    }
    const std::vector<std::string> expected = {kBuiltInRemoteDesktopRuleName,
                                               "Remote Desktop - Shadow (TCP-In)",
                                               "Remote Desktop - blocked",
                                               "Open everything",
                                               "RDP range",
                                               "Deny RDP",
                                               "Old RDP rule",
                                               "Velmora - allow 10.0.0.5 [0a1b2c3d]",
                                               "Velmora - allow 10.0.0.6 [0a1b2c3e]",
                                               kServiceRuleName};
    EXPECT_EQ(names, expected);

    const std::vector<FirewallRuleInfo> grants = firewall.listGrantRules(error);
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[0].name, "Velmora - allow 10.0.0.5 [0a1b2c3d]");
    EXPECT_EQ(grants[0].localPorts, "3389");
    EXPECT_TRUE(grants[0].enabled);
    EXPECT_FALSE(grants[1].enabled);
}

TEST(FirewallGrants, AllowRulesAreAddedValidatedAndRemoved) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    EXPECT_EQ(firewall.removeAllGrantRules(error), 0);
    EXPECT_EQ(log.text().find("stale grant"), std::string::npos);

    ASSERT_TRUE(firewall.addAllowRule("Velmora - allow 10.0.0.5 [00000001]", 3389,
                                      hostRemoteAddress("10.0.0.5", false), "grant", error,
                                      kProtocolTcp))
        << error;
    ASSERT_TRUE(firewall.addAllowRule("Velmora - stream for fe80::1 [00000002]", 7441,
                                      hostRemoteAddress("fe80::1", true), "stream", error,
                                      kProtocolUdp));
    ASSERT_TRUE(firewall.addAllowRule("Velmora - allow anyone [00000003]", 3389, "*", "open", error,
                                      kProtocolTcp));

    const FirewallPolicy policy = store.policy();
    const FirewallRule* grant = findRule(policy, "Velmora - allow 10.0.0.5 [00000001]");
    ASSERT_NE(grant, nullptr);
    EXPECT_EQ(grant->grouping, kGrantGroup);
    EXPECT_EQ(grant->description, "grant");
    EXPECT_EQ(grant->protocol, kProtocolTcp);
    EXPECT_EQ(grant->localPorts, "3389");
    EXPECT_EQ(grant->remoteAddresses, "10.0.0.5/32");
    EXPECT_EQ(grant->direction, RuleDirection::In);
    EXPECT_EQ(grant->action, RuleAction::Allow);
    EXPECT_EQ(grant->profiles, kAllProfiles);
    EXPECT_TRUE(grant->enabled);
    EXPECT_EQ(findRule(policy, "Velmora - stream for fe80::1 [00000002]")->protocol, kProtocolUdp);
    EXPECT_EQ(findRule(policy, "Velmora - allow anyone [00000003]")->remoteAddresses, "*");

    // Addresses the rule could not hold change nothing; an empty one would mean "any".
    for (const char* bad : {"", "10.0.0.5,DNS", "somewhere.example"}) {
        error.clear();
        EXPECT_FALSE(firewall.addAllowRule("bad", 3389, bad, "", error, kProtocolTcp)) << bad;
        EXPECT_EQ(error, "failed to set the rule's remote address");
    }
    EXPECT_EQ(store.policy().rules.size(), policy.rules.size());

    ASSERT_TRUE(firewall.removeRule("Velmora - allow anyone [00000003]", error));
    EXPECT_EQ(firewall.listGrantRules(error).size(), 2u);
    EXPECT_EQ(firewall.removeAllGrantRules(error), 2);
    EXPECT_TRUE(firewall.listGrantRules(error).empty());
    EXPECT_NE(log.text().find("removed 2 stale grant rule(s)"), std::string::npos);
    EXPECT_EQ(namesOf(store.policy().rules),
              std::vector<std::string>{kBuiltInRemoteDesktopRuleName});
}

TEST(FirewallServicePort, AWrongRuleIsReplacedAndARightOneLeftAlone) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;
    bool created = false;

    ASSERT_TRUE(firewall.ensureServicePortRule(8443, created, error)) << error;
    EXPECT_TRUE(created);
    FirewallRule rule = *findRule(store.policy(), kServiceRuleName);
    EXPECT_EQ(rule.grouping, kServiceGroup);
    EXPECT_EQ(rule.description, kServiceRuleDescription);
    EXPECT_EQ(rule.protocol, kProtocolTcp);
    EXPECT_EQ(rule.localPorts, "8443");
    EXPECT_TRUE(rule.enabled);
    EXPECT_EQ(rule.action, RuleAction::Allow);
    EXPECT_NE(log.text().find("opened the gate's own port 8443 in the firewall"),
              std::string::npos);

    // Right (its list holds the port; protocol is not examined): nothing changes.
    const auto setServiceRule = [&](void (*edit)(FirewallRule&)) {
        FirewallPolicy policy = store.policy();
        for (FirewallRule& r : policy.rules) {
            if (r.name == kServiceRuleName) edit(r);
        }
        store.update(
            [&](FirewallPolicy& p, std::string&) {
                p = policy;
                return true;
            },
            error);
    };
    setServiceRule([](FirewallRule& r) {
        r.localPorts = "443, 8443";
        r.protocol = kProtocolAny;
    });
    const FirewallPolicy before = store.policy();
    ASSERT_TRUE(firewall.ensureServicePortRule(8443, created, error));
    EXPECT_FALSE(created);
    EXPECT_EQ(store.policy(), before);

    // Wrong in any of three ways: replaced by exactly one fresh rule.
    for (auto edit : {+[](FirewallRule& r) { r.enabled = false; },
                      +[](FirewallRule& r) { r.action = RuleAction::Block; },
                      +[](FirewallRule& r) { r.localPorts = "443"; }}) {
        setServiceRule(edit);
        ASSERT_TRUE(firewall.ensureServicePortRule(8443, created, error));
        EXPECT_TRUE(created);
        const FirewallPolicy after = store.policy();
        EXPECT_EQ(std::count_if(after.rules.begin(), after.rules.end(),
                                [](const FirewallRule& r) { return r.name == kServiceRuleName; }),
                  1);
        rule = *findRule(after, kServiceRuleName);
        EXPECT_TRUE(rule.enabled);
        EXPECT_EQ(rule.action, RuleAction::Allow);
        EXPECT_EQ(rule.localPorts, "8443");
    }
}

TEST(FirewallProfiles, ProfileSettingsAreReadAndRepaired) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;
    bool flag = false;

    ASSERT_TRUE(firewall.defaultInboundAllows(flag, error));
    EXPECT_FALSE(flag);
    ASSERT_TRUE(firewall.isEnabledOnAllProfiles(flag, error));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(firewall.enableOnAllProfiles(flag, error));
    EXPECT_FALSE(flag);
    EXPECT_EQ(log.text().find("switched on"), std::string::npos);

    store.setDefaultInboundAction(FirewallProfile::Public, RuleAction::Allow, error);
    store.setFirewallEnabled(FirewallProfile::Private, false, error);
    ASSERT_TRUE(firewall.defaultInboundAllows(flag, error));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(firewall.isEnabledOnAllProfiles(flag, error));
    EXPECT_FALSE(flag);

    ASSERT_TRUE(firewall.setDefaultInboundBlock(error));
    ASSERT_TRUE(firewall.enableOnAllProfiles(flag, error));
    EXPECT_TRUE(flag);
    EXPECT_EQ(store.policy().profiles, DefaultFirewallPolicy().profiles);
    EXPECT_NE(log.text().find("default inbound action set to Block on all profiles"),
              std::string::npos);
    EXPECT_NE(log.text().find("the Windows Firewall was switched on for every profile"),
              std::string::npos);
}

TEST(FirewallFailures, StoreFailuresAreReportedWithTheOperationThatFailed) {
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    store.failReads("firewall.json is damaged");
    EXPECT_FALSE(firewall.connect(error));
    EXPECT_EQ(error, "FirewallStore::read failed: firewall.json is damaged");
    error.clear();
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), -1);
    EXPECT_EQ(error, "FirewallStore::read failed: firewall.json is damaged");
    EXPECT_EQ(firewall.removeAllGrantRules(error), -1);
    std::vector<std::string> restored;
    EXPECT_FALSE(firewall.enableRdpAccess(3389, restored, error));
    EXPECT_TRUE(firewall.rulesForPort(3389, error).empty());

    // A failed connection is not kept: the next call tries again.
    store.failReads("");
    ASSERT_TRUE(firewall.connect(error));
    store.failReads("disk gone");
    EXPECT_TRUE(firewall.rulesForPort(3389, error).empty());
    EXPECT_EQ(error, "FirewallStore::rules failed: disk gone");
    bool flag = false;
    EXPECT_FALSE(firewall.defaultInboundAllows(flag, error));
    EXPECT_EQ(error, "FirewallStore::defaultInboundAction failed: disk gone");
    EXPECT_FALSE(firewall.isEnabledOnAllProfiles(flag, error));
    EXPECT_EQ(error, "FirewallStore::firewallEnabled failed: disk gone");
    store.failReads("");

    store.failUpdates("no space left on device");
    EXPECT_FALSE(firewall.addAllowRule("g", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    EXPECT_EQ(error, "FirewallStore::addRule failed: no space left on device");
    bool created = true;
    EXPECT_FALSE(firewall.ensureServicePortRule(443, created, error));
    EXPECT_FALSE(created);
    EXPECT_EQ(error, "FirewallStore::addRule(service port) failed: no space left on device");
    EXPECT_FALSE(firewall.removeRule("g", error));
    EXPECT_EQ(error, "FirewallStore::removeRule failed: no space left on device");
    EXPECT_FALSE(firewall.setDefaultInboundBlock(error));
    EXPECT_EQ(error, "FirewallStore::setDefaultInboundAction failed: no space left on device");

    store.failUpdates(std::string(300, 'x'));
    EXPECT_FALSE(firewall.removeRule("g", error));
    EXPECT_EQ(error.size(), 159u);
}

TEST(FirewallEnforcement, ChangesAreProjectedOnlyWhileEnforcementIsOn) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    EnforcementSettings settings;
    ASSERT_TRUE(firewall.enforcement(settings, error));
    EXPECT_FALSE(settings.enabled);
    ASSERT_TRUE(firewall.addAllowRule("g1", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    ASSERT_TRUE(firewall.reproject(error));
    EXPECT_TRUE(nft.scripts.empty());

    // nft refuses: the switch stays off.
    nft.failure = "nft failed: Error: Could not process rule";
    settings = {true, 3390, 9000};
    EXPECT_FALSE(firewall.setEnforcement(settings, error));
    EXPECT_EQ(error, "nft failed: Error: Could not process rule");
    ASSERT_TRUE(firewall.enforcement(settings, error));
    EXPECT_FALSE(settings.enabled);

    nft.failure.clear();
    ASSERT_TRUE(firewall.setEnforcement({true, 3390, 9000}, error)) << error;
    ASSERT_EQ(nft.scripts.size(), 1u);
    EXPECT_NE(nft.scripts[0].find("tcp dport 3390 jump tcp_3390"), std::string::npos);
    EXPECT_NE(nft.scripts[0].find("udp dport 9003 jump udp_9003"), std::string::npos);
    EXPECT_EQ(store.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));

    // Every kind of change is followed by the projection of the store as it now is.
    std::string before = nft.scripts.back();
    ASSERT_TRUE(firewall.addAllowRule("g2", 3390, "10.9.9.9/32", "", error, kProtocolTcp));
    ASSERT_EQ(nft.scripts.size(), 2u);
    EXPECT_NE(nft.scripts.back().find("ip saddr 10.9.9.9 accept"), std::string::npos);
    ASSERT_TRUE(firewall.removeRule("g2", error));
    EXPECT_EQ(nft.scripts.back(), before);
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), 1);
    ASSERT_TRUE(firewall.setDefaultInboundBlock(error));
    bool flag = false;
    ASSERT_TRUE(firewall.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(firewall.removeAllGrantRules(error), 1);
    EXPECT_EQ(nft.scripts.size(), 7u);
    // Reads and no-op repairs do not touch the kernel.
    firewall.rulesForPort(3389, error);
    ASSERT_TRUE(firewall.enableOnAllProfiles(flag, error));
    EXPECT_EQ(nft.scripts.size(), 7u);
    ASSERT_TRUE(firewall.reproject(error));
    EXPECT_EQ(nft.scripts.size(), 8u);

    // A projection that fails is logged; the change itself stands.
    nft.failure = "nft failed: Error: No such file or directory";
    ASSERT_TRUE(firewall.addAllowRule("g3", 3390, "10.0.0.7/32", "", error, kProtocolTcp));
    EXPECT_NE(
        log.text().find("the firewall rules could not be enforced: nft failed: Error: No such "
                        "file or directory"),
        std::string::npos);
    EXPECT_FALSE(firewall.reproject(error));
    nft.failure.clear();

    ASSERT_TRUE(firewall.setEnforcement({false, 3390, 9000}, error));
    EXPECT_EQ(nft.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
    const std::size_t count = nft.scripts.size();
    ASSERT_TRUE(firewall.removeRule("g3", error));
    EXPECT_EQ(nft.scripts.size(), count);
}

}  // namespace
}  // namespace vel::gate
