#include "firewall/firewall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/firewall_rules.h"
#include "support/memory_firewall_store.h"

namespace vel::firewall {

using test::MemoryFirewallStore;
using test::RecordingNftRunner;

namespace {

using Names = std::vector<std::string>;

const FirewallRule& findRule(const FirewallPolicy& policy, const std::string& name) {
    const FirewallRule* rule = test::FindRule(policy.rules, name);
    if (rule == nullptr) throw std::runtime_error("no rule " + name);
    return *rule;
}

// A firewall over a store in memory and a recording nft.
class FirewallTest : public ::testing::Test {
  protected:
    MemoryFirewallStore store_;
    RecordingNftRunner nft_;
    Firewall firewall_{store_, nft_};
};

TEST(FirewallPorts, PortListsAndExposure) {
    for (const char* list :
         {"3389", "3000-4000", "80, 3389 ,443", "80,\t3000 - 4000", "RPC,3389"}) {
        EXPECT_TRUE(portListContains(list, 3389)) << list;
    }
    // "*" and the empty text mean any port, which is the caller's business; keywords never
    // match; huge numbers must not wrap onto the port.
    for (const char* list : {"33890", "*", "", "4000-3000", "RPC-EPMap", "4294970685"}) {
        EXPECT_FALSE(portListContains(list, 3389)) << list;
    }

    // Any port, but narrowed to a program or account: no exposure. Naming the port is one.
    for (auto narrow : {+[](FirewallRule& r) { r.applicationName = "/usr/bin/app"; },
                        +[](FirewallRule& r) { r.serviceName = "xrdp"; },
                        +[](FirewallRule& r) { r.localAppPackageId = "S-1-15-2-1"; },
                        +[](FirewallRule& r) { r.localUserOwner = "S-1-5-21-1"; }}) {
        FirewallRule rule = test::InboundRule("r", "", kProtocolTcp, "*", true);
        narrow(rule);
        EXPECT_FALSE(ruleExposesPort(rule, 3389));
        rule.localPorts = "3389";
        EXPECT_TRUE(ruleExposesPort(rule, 3389));
    }
    net::IpAddress mapped;
    ASSERT_TRUE(net::parseIpAddress("::ffff:10.0.0.5", mapped));
    EXPECT_EQ(hostRemoteAddress(mapped), "10.0.0.5/32");
}

// A machine with the usual mix: the operating system's Remote Desktop rules (one on another
// port, one a block rule), a program's any-port rule, the gate's own rules and unrelated rules.
FirewallPolicy mixedPolicy() {
    FirewallPolicy policy = DefaultFirewallPolicy();
    const auto add = [&](FirewallRule rule) { policy.rules.push_back(std::move(rule)); };
    add(test::InboundRule("RD shadow", kRemoteDesktopGroup, kProtocolTcp, "", true));
    add(test::InboundRule("RD udp", kRemoteDesktopGroup, kProtocolUdp, "3389", true));
    add(test::InboundRule("RD blocked", kRemoteDesktopGroup, kProtocolTcp, "3389", false,
                          RuleAction::Block));
    add(test::InboundRule("Open everything", "", kProtocolAny, "*", true));
    add(test::InboundRule("RDP range", "Admins", kProtocolTcp, "3000-4000", true));
    FirewallRule program = test::InboundRule("Some program", "", kProtocolTcp, "*", true);
    program.applicationName = "/usr/bin/program";
    add(program);
    add(test::InboundRule("Web", "", kProtocolTcp, "80, 443", true));
    add(test::InboundRule("Deny RDP", "", kProtocolTcp, "3389", true, RuleAction::Block));
    add(test::InboundRule("Old RDP rule", "", kProtocolTcp, "3389", false));
    FirewallRule outbound = test::InboundRule("Outbound RDP", "", kProtocolTcp, "3389", true);
    outbound.direction = RuleDirection::Out;
    add(outbound);
    add(test::InboundRule("Velmora - allow 10.0.0.5 [1]", kGrantGroup, kProtocolTcp, "3389", true));
    add(test::InboundRule("Velmora - allow 10.0.0.6 [2]", kGrantGroup, kProtocolTcp, "3389",
                          false));
    add(test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "*", true));
    return policy;
}

TEST_F(FirewallTest, ClosesEveryExposureButTheGatesOwnAndRestoresThem) {
    store_.edit([](FirewallPolicy& policy) { policy = mixedPolicy(); });
    std::string error;

    Names closed;
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error, &closed), 5) << error;
    EXPECT_EQ(closed, (Names{kBuiltInRemoteDesktopRuleName, "RD shadow", "RD udp",
                             "Open everything", "RDP range"}));
    for (const std::string& name : closed) EXPECT_FALSE(findRule(store_.policy(), name).enabled);
    for (const char* spared : {"Some program", "Web", "Deny RDP", "Outbound RDP",
                               "Velmora - allow 10.0.0.5 [1]", kServiceRuleName}) {
        EXPECT_TRUE(findRule(store_.policy(), spared).enabled) << spared;
    }
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 0);

    // Recovery: Remote Desktop rules whatever their action, and allow rules exposing the port,
    // even ones disabled by someone else; a disabled grant never comes back.
    Names restored;
    ASSERT_TRUE(firewall_.enableRdpAccess(3389, restored, error)) << error;
    EXPECT_EQ(restored, (Names{kBuiltInRemoteDesktopRuleName, "RD shadow", "RD udp", "RD blocked",
                               "Open everything", "RDP range", "Old RDP rule"}));
    EXPECT_FALSE(findRule(store_.policy(), "Velmora - allow 10.0.0.6 [2]").enabled);

    // A rule that cannot be changed is not counted.
    store_.failUpdates("read-only file system");
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 0);
}

TEST_F(FirewallTest, AnAllowRuleNeedsAnAddressItCanHold) {
    std::string error;
    ASSERT_TRUE(firewall_.addAllowRule("Velmora - allow 10.0.0.5 [1]", 3389, "10.0.0.5/32", "grant",
                                       error, kProtocolTcp))
        << error;
    EXPECT_EQ(findRule(store_.policy(), "Velmora - allow 10.0.0.5 [1]").grouping, kGrantGroup);

    // Addresses a rule could not hold change nothing; an empty one would have meant "any".
    for (const char* bad : {"", "10.0.0.5,DNS", "somewhere.example"}) {
        EXPECT_FALSE(firewall_.addAllowRule("bad", 3389, bad, "", error, kProtocolTcp)) << bad;
        EXPECT_EQ(error, "failed to set the rule's remote address");
    }
    EXPECT_EQ(store_.policy().rules.size(), 2u);
}

TEST_F(FirewallTest, AWrongServiceRuleIsReplaced) {
    std::string error;
    bool created = false;
    ASSERT_TRUE(firewall_.ensureServicePortRule(8443, created, error)) << error;
    EXPECT_TRUE(created);
    FirewallRule fresh =
        test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "8443", true);
    fresh.description = kServiceRuleDescription;
    EXPECT_EQ(findRule(store_.policy(), kServiceRuleName), fresh);

    const auto editServiceRule = [&](void (*edit)(FirewallRule&)) {
        store_.edit([&](FirewallPolicy& p) {
            for (FirewallRule& r : p.rules) {
                if (r.name == kServiceRuleName) edit(r);
            }
        });
    };
    // Wrong in any of three ways: replaced by exactly one fresh rule.
    for (auto edit : {+[](FirewallRule& r) { r.enabled = false; },
                      +[](FirewallRule& r) { r.action = RuleAction::Block; },
                      +[](FirewallRule& r) { r.localPorts = "443"; }}) {
        editServiceRule(edit);
        ASSERT_TRUE(firewall_.ensureServicePortRule(8443, created, error));
        EXPECT_TRUE(created);
        EXPECT_EQ(store_.policy().rules.size(), 2u);
        EXPECT_EQ(findRule(store_.policy(), kServiceRuleName), fresh);
    }
}

TEST_F(FirewallTest, ChangesAreProjectedOnlyWhileEnforcementIsOn) {
    std::string error;

    ASSERT_TRUE(firewall_.addAllowRule("g1", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    ASSERT_TRUE(firewall_.reproject(error));
    EXPECT_TRUE(nft_.scripts.empty());

    // nft_ refuses: the switch stays off.
    nft_.failure = "nft failed: Error: Could not process rule";
    EXPECT_FALSE(firewall_.setEnforcement({true, 3390, 9000}, error));
    EXPECT_EQ(error, "nft failed: Error: Could not process rule");
    EXPECT_FALSE(store_.policy().enforcement.enabled);

    nft_.failure.clear();
    ASSERT_TRUE(firewall_.setEnforcement({true, 3390, 9000}, error)) << error;
    EXPECT_EQ(store_.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));

    // Every change is followed by a projection of the store as it now is.
    ASSERT_TRUE(firewall_.addAllowRule("g2", 3390, "10.9.9.9/32", "", error, kProtocolTcp));
    EXPECT_NE(nft_.scripts.back().find("ip saddr 10.9.9.9 accept"), std::string::npos);
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 1);
    ASSERT_TRUE(firewall_.setDefaultInboundBlock(error));
    bool flag = false;
    ASSERT_TRUE(firewall_.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(nft_.scripts.size(), 5u);

    // A projection that fails fails the change; a rule the kernel never got is not kept to
    // open the port at some later projection.
    nft_.failure = "nft failed: Error: No such file or directory";
    EXPECT_FALSE(firewall_.addAllowRule("g3", 3390, "10.0.0.7/32", "", error, kProtocolTcp));
    EXPECT_EQ(error, "nft failed: Error: No such file or directory");
    EXPECT_FALSE(firewall_.removeRule("g1", error));
    EXPECT_FALSE(firewall_.reproject(error));
    nft_.failure.clear();
    for (const FirewallRule& rule : store_.policy().rules) EXPECT_NE(rule.name, "g3");

    ASSERT_TRUE(firewall_.setEnforcement({false, 3390, 9000}, error));
    ASSERT_TRUE(firewall_.removeRule("g2", error));
    EXPECT_EQ(nft_.scripts.size(), 6u);
}

TEST_F(FirewallTest, TheKernelIsCheckedRestoredAndFollowsThePorts) {
    std::string error;
    KernelState state = KernelState::Enforced;
    bool enforced = true;

    ASSERT_TRUE(firewall_.enforceKernel(state, enforced, error)) << error;
    EXPECT_EQ(state, KernelState::Off);
    EXPECT_FALSE(enforced);
    ASSERT_TRUE(firewall_.setEnforcement({true, 3389, 7441}, error)) << error;
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);

    // New ports reach the store and the kernel.
    ASSERT_TRUE(firewall_.syncPorts(3390, 9000, error)) << error;
    EXPECT_EQ(store_.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));
    EXPECT_NE(nft_.scripts.back().find("tcp dport 3390 jump"), std::string::npos);

    // A deleted table is missing and put back.
    nft_.table.clear();
    ASSERT_TRUE(firewall_.enforceKernel(state, enforced, error)) << error;
    EXPECT_EQ(state, KernelState::Missing);
    EXPECT_TRUE(enforced);

    // A table of an older policy is different.
    const std::string current = nft_.table;
    ASSERT_TRUE(firewall_.addAllowRule("g1", 3390, "10.0.0.5/32", "", error, kProtocolTcp));
    nft_.table = current;
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);

    // The first check after a projection learns the table; one that keeps our mark but gains a
    // rule afterwards was altered.
    ASSERT_TRUE(firewall_.reproject(error)) << error;
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);
    nft_.table.insert(nft_.table.size() - 2, R"(,{"rule":{"expr":"accept"}})");
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);

    // A listing that fails is no answer at all.
    nft_.failure = "nft failed: Operation not permitted";
    EXPECT_FALSE(firewall_.checkKernel(state, error));
    EXPECT_FALSE(firewall_.enforceKernel(state, enforced, error));
    EXPECT_FALSE(enforced);
    nft_.failure.clear();

    // With enforcement off, a table left behind is removed.
    ASSERT_TRUE(firewall_.setEnforcement({false, 3390, 9000}, error));
    nft_.table = current;
    ASSERT_TRUE(firewall_.enforceKernel(state, enforced, error));
    EXPECT_EQ(state, KernelState::Different);
    EXPECT_FALSE(enforced);
    EXPECT_EQ(nft_.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
}

}  // namespace
}  // namespace vel::firewall
