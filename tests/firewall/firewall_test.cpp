#include "firewall/firewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "support/firewall_rules.h"
#include "support/memory_firewall_store.h"
#include "support/temp_dir.h"

namespace vel::firewall {

using test::MemoryFirewallStore;
using test::RecordingNftRunner;

namespace {

using Names = std::vector<std::string>;

net::IpAddress address(const char* text) {
    net::IpAddress parsed;
    EXPECT_TRUE(net::parseIpAddress(text, parsed)) << text;
    return parsed;
}

const FirewallRule& findRule(const FirewallPolicy& policy, const std::string& name) {
    const FirewallRule* rule = test::FindRule(policy.rules, name);
    if (rule == nullptr) throw std::runtime_error("no rule " + name);
    return *rule;
}

// Points the process log at a fresh file so a test can see what an operation logged.
class LogCapture {
  public:
    LogCapture() { InitLog(dir_.path(), "gate"); }
    bool contains(const std::string& text) const {
        std::string log;
        static_cast<void>(ReadFileText(JoinPath(dir_.path(), "gate.log"), log));
        return log.find(text) != std::string::npos;
    }

  private:
    test::TempDir dir_;
};

// A firewall over a store in memory and a recording nft, with the log captured.
class FirewallTest : public ::testing::Test {
  protected:
    LogCapture log_;
    MemoryFirewallStore store_;
    RecordingNftRunner nft_;
    Firewall firewall_{store_, nft_};
};

TEST(FirewallPorts, LocalPortListsMatchPiecesAndRangesOnly) {
    for (const char* list :
         {"3389", "3000-4000", "80, 3389 ,443", "80,\t3000 - 4000", "RPC,3389"}) {
        EXPECT_TRUE(portListContains(list, 3389)) << list;
    }
    // "*" and the empty text mean any port, which is the caller's business; keywords never
    // match; huge numbers must not wrap onto the port.
    for (const char* list : {"4000-5000", "33890", "*", "", "80,,443", "4000-3000", "RPC-EPMap",
                             "4294970685", "18446744073709555005"}) {
        EXPECT_FALSE(portListContains(list, 3389)) << list;
    }
    EXPECT_FALSE(portListContains("RPC", 0));
}

TEST(FirewallPorts, ExposureFollowsProtocolPortsAndRestrictions) {
    const auto exposes = [](int protocol, const char* ports, void (*narrow)(FirewallRule&)) {
        FirewallRule rule = test::InboundRule("r", "", protocol, ports, true);
        if (narrow != nullptr) narrow(rule);
        return ruleExposesPort(rule, 3389);
    };
    EXPECT_TRUE(exposes(kProtocolTcp, "3389", nullptr));
    EXPECT_TRUE(exposes(kProtocolTcp, "*", nullptr));
    EXPECT_TRUE(exposes(kProtocolTcp, "", nullptr));
    EXPECT_TRUE(exposes(kProtocolAny, "3389", nullptr));
    EXPECT_FALSE(exposes(kProtocolTcp, "80,443", nullptr));
    EXPECT_FALSE(exposes(kProtocolUdp, "3389", nullptr));
    EXPECT_FALSE(exposes(kProtocolUdp, "*", nullptr));

    // Any port, but narrowed to a program or account: no exposure. Naming the port is one.
    for (auto narrow : {+[](FirewallRule& r) { r.applicationName = "/usr/bin/app"; },
                        +[](FirewallRule& r) { r.serviceName = "xrdp"; },
                        +[](FirewallRule& r) { r.localAppPackageId = "S-1-15-2-1"; },
                        +[](FirewallRule& r) { r.localUserOwner = "S-1-5-21-1"; }}) {
        EXPECT_FALSE(exposes(kProtocolTcp, "*", narrow));
        EXPECT_TRUE(exposes(kProtocolTcp, "3389", narrow));
    }

    // The projection asks the same question for the stream's UDP ports.
    EXPECT_TRUE(
        ruleExposesPort(test::InboundRule("u", "", kProtocolUdp, "*", true), 7441, kProtocolUdp));
}

TEST(FirewallAddresses, AHostRuleNamesExactlyOneAddress) {
    EXPECT_EQ(hostRemoteAddress(address("10.0.0.5")), "10.0.0.5/32");
    EXPECT_EQ(hostRemoteAddress(address("fe80::1")), "fe80::1/128");
    EXPECT_EQ(hostRemoteAddress(address("::ffff:10.0.0.5")), "10.0.0.5/32");
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
    EXPECT_TRUE(log_.contains("disabled inbound allow rule exposing port 3389: 'RDP range'"));
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 0);

    // The rule list for the port shows every inbound rule exposing it, whatever its state.
    Names listed;
    for (const Firewall::PortRule& rule : firewall_.rulesForPort(3389, error)) {
        listed.push_back(rule.name + (rule.enabled ? " on" : " off") +
                         (rule.allow ? "" : " block"));
    }
    EXPECT_EQ(listed,
              (Names{"Remote Desktop - User Mode (TCP-In) off", "RD shadow off",
                     "RD blocked off block", "Open everything off", "RDP range off",
                     "Deny RDP on block", "Old RDP rule off", "Velmora - allow 10.0.0.5 [1] on",
                     "Velmora - allow 10.0.0.6 [2] off", "Velmora - confirmation channel on"}));

    // Recovery: Remote Desktop rules whatever their action, and allow rules exposing the port,
    // even ones disabled by someone else; a disabled grant never comes back.
    Names restored;
    ASSERT_TRUE(firewall_.enableRdpAccess(3389, restored, error)) << error;
    EXPECT_EQ(restored, (Names{kBuiltInRemoteDesktopRuleName, "RD shadow", "RD udp", "RD blocked",
                               "Open everything", "RDP range", "Old RDP rule"}));
    EXPECT_FALSE(findRule(store_.policy(), "Velmora - allow 10.0.0.6 [2]").enabled);
    EXPECT_TRUE(log_.contains("restored inbound rule 'Old RDP rule'"));

    // A rule that cannot be changed is reported and not counted.
    store_.failUpdates("read-only file system");
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 0);
    EXPECT_TRUE(log_.contains("could not disable allow rule 'Remote Desktop - User Mode (TCP-In)'"));
}

TEST_F(FirewallTest, AllowRulesAreAddedValidatedListedAndRemoved) {
    std::string error;

    EXPECT_EQ(firewall_.removeAllGrantRules(error), 0);
    EXPECT_FALSE(log_.contains("stale grant"));

    ASSERT_TRUE(firewall_.addAllowRule("Velmora - allow 10.0.0.5 [1]", 3389,
                                      hostRemoteAddress(address("10.0.0.5")), "grant", error,
                                      kProtocolTcp))
        << error;
    ASSERT_TRUE(firewall_.addAllowRule("Velmora - stream for fe80::1 [2]", 7441,
                                      hostRemoteAddress(address("fe80::1")), "stream", error,
                                      kProtocolUdp));
    ASSERT_TRUE(firewall_.addAllowRule("anyone", 3389, "*", "open", error, kProtocolTcp));

    FirewallRule expected =
        test::InboundRule("Velmora - allow 10.0.0.5 [1]", kGrantGroup, kProtocolTcp, "3389", true);
    expected.description = "grant";
    expected.remoteAddresses = "10.0.0.5/32";
    EXPECT_EQ(findRule(store_.policy(), expected.name), expected);
    EXPECT_EQ(findRule(store_.policy(), "Velmora - stream for fe80::1 [2]").protocol, kProtocolUdp);
    EXPECT_EQ(findRule(store_.policy(), "anyone").remoteAddresses, "*");

    // Addresses a rule could not hold change nothing; an empty one would have meant "any".
    for (const char* bad : {"", "10.0.0.5,DNS", "somewhere.example"}) {
        EXPECT_FALSE(firewall_.addAllowRule("bad", 3389, bad, "", error, kProtocolTcp)) << bad;
        EXPECT_EQ(error, "failed to set the rule's remote address");
    }
    EXPECT_EQ(store_.policy().rules.size(), 4u);

    ASSERT_TRUE(firewall_.removeRule("anyone", error));
    const std::vector<FirewallRuleInfo> grants = firewall_.listGrantRules(error);
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[0].remoteAddresses, "10.0.0.5/32");
    EXPECT_EQ(grants[0].localPorts, "3389");
    EXPECT_TRUE(grants[0].enabled);
    EXPECT_EQ(firewall_.removeAllGrantRules(error), 2);
    EXPECT_TRUE(log_.contains("removed 2 stale grant rule(s)"));
    EXPECT_EQ(store_.policy(), DefaultFirewallPolicy());
}

TEST_F(FirewallTest, AWrongRuleIsReplacedAndARightOneLeftAlone) {
    std::string error;
    bool created = false;

    ASSERT_TRUE(firewall_.ensureServicePortRule(8443, created, error)) << error;
    EXPECT_TRUE(created);
    FirewallRule fresh =
        test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "8443", true);
    fresh.description = kServiceRuleDescription;
    EXPECT_EQ(findRule(store_.policy(), kServiceRuleName), fresh);
    EXPECT_TRUE(log_.contains("opened the gate's own port 8443 in the firewall"));

    const auto editServiceRule = [&](void (*edit)(FirewallRule&)) {
        store_.edit([&](FirewallPolicy& p) {
            for (FirewallRule& r : p.rules) {
                if (r.name == kServiceRuleName) edit(r);
            }
        });
    };
    // Right: enabled, allowing, its list holds the port (the protocol is not examined).
    editServiceRule([](FirewallRule& r) {
        r.localPorts = "443, 8443";
        r.protocol = kProtocolAny;
    });
    const FirewallPolicy before = store_.policy();
    ASSERT_TRUE(firewall_.ensureServicePortRule(8443, created, error));
    EXPECT_FALSE(created);
    EXPECT_EQ(store_.policy(), before);

    // Wrong in any of three ways: replaced by exactly one fresh rule.
    for (auto edit : {+[](FirewallRule& r) { r.enabled = false; },
                      +[](FirewallRule& r) { r.action = RuleAction::Block; },
                      +[](FirewallRule& r) { r.localPorts = "443"; }}) {
        editServiceRule(edit);
        ASSERT_TRUE(firewall_.ensureServicePortRule(8443, created, error));
        EXPECT_TRUE(created);
        const FirewallPolicy after = store_.policy();
        EXPECT_EQ(after.rules.size(), 2u);
        EXPECT_EQ(findRule(after, kServiceRuleName), fresh);
    }
}

TEST_F(FirewallTest, ProfileSettingsAreReadAndRepaired) {
    std::string error;
    bool allows = true, allOn = false, changed = true;

    ASSERT_TRUE(firewall_.defaultInboundAllows(allows, error));
    ASSERT_TRUE(firewall_.isEnabledOnAllProfiles(allOn, error));
    ASSERT_TRUE(firewall_.enableOnAllProfiles(changed, error));
    EXPECT_FALSE(allows || changed || !allOn);
    EXPECT_FALSE(log_.contains("switched on"));

    EXPECT_TRUE(store_.setDefaultInboundAction(FirewallProfile::Public, RuleAction::Allow, error));
    EXPECT_TRUE(store_.setFirewallEnabled(FirewallProfile::Private, false, error));
    ASSERT_TRUE(firewall_.defaultInboundAllows(allows, error));
    ASSERT_TRUE(firewall_.isEnabledOnAllProfiles(allOn, error));
    EXPECT_TRUE(allows && !allOn);

    ASSERT_TRUE(firewall_.setDefaultInboundBlock(error));
    ASSERT_TRUE(firewall_.enableOnAllProfiles(changed, error));
    EXPECT_TRUE(changed);
    EXPECT_EQ(store_.policy().profiles, DefaultFirewallPolicy().profiles);
    EXPECT_TRUE(log_.contains("default inbound action set to Block on all profiles"));
    EXPECT_TRUE(log_.contains("the Windows Firewall was switched on for every profile"));
}

TEST_F(FirewallTest, StoreFailuresNameTheOperationThatFailed) {
    std::string error;

    store_.failReads("firewall.json is damaged");
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), -1);
    EXPECT_EQ(error, "FirewallStore::read failed: firewall.json is damaged");
    EXPECT_EQ(firewall_.removeAllGrantRules(error), -1);
    EXPECT_TRUE(firewall_.rulesForPort(3389, error).empty());
    store_.failReads("");

    store_.failUpdates("no space left on device");
    EXPECT_FALSE(firewall_.addAllowRule("g", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    EXPECT_EQ(error, "FirewallStore::addRule failed: no space left on device");
    bool flag = false;
    EXPECT_FALSE(firewall_.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(error, "FirewallStore::addRule(service port) failed: no space left on device");
    store_.failUpdates(std::string(300, 'x'));
    EXPECT_FALSE(firewall_.setDefaultInboundBlock(error));
    EXPECT_EQ(error.size(), 159u);
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
    EnforcementSettings settings;
    ASSERT_TRUE(firewall_.enforcement(settings, error));
    EXPECT_FALSE(settings.enabled);

    nft_.failure.clear();
    ASSERT_TRUE(firewall_.setEnforcement({true, 3390, 9000}, error)) << error;
    ASSERT_EQ(nft_.scripts.size(), 1u);
    EXPECT_NE(nft_.scripts[0].find("udp dport 9003 jump udp_9003"), std::string::npos);
    EXPECT_EQ(store_.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));

    // Every change is followed by the projection of the store_ as it now is.
    const std::string before = nft_.scripts.back();
    ASSERT_TRUE(firewall_.addAllowRule("g2", 3390, "10.9.9.9/32", "", error, kProtocolTcp));
    EXPECT_NE(nft_.scripts.back().find("ip saddr 10.9.9.9 accept"), std::string::npos);
    ASSERT_TRUE(firewall_.removeRule("g2", error));
    EXPECT_EQ(nft_.scripts.back(), before);
    EXPECT_EQ(firewall_.suppressAllowRules(3389, error), 1);
    ASSERT_TRUE(firewall_.setDefaultInboundBlock(error));
    bool flag = false;
    ASSERT_TRUE(firewall_.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(firewall_.removeAllGrantRules(error), 1);
    EXPECT_EQ(nft_.scripts.size(), 7u);
    // Reads and repairs with nothing to repair leave the kernel alone.
    firewall_.rulesForPort(3389, error);
    ASSERT_TRUE(firewall_.enableOnAllProfiles(flag, error));
    EXPECT_EQ(nft_.scripts.size(), 7u);

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
    EXPECT_EQ(nft_.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
    ASSERT_TRUE(firewall_.removeRule("g3", error));
    EXPECT_EQ(nft_.scripts.size(), 8u);
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

    // New ports reach the store_ and the kernel; the same ports change nothing.
    ASSERT_TRUE(firewall_.syncPorts(3390, 9000, error)) << error;
    EXPECT_EQ(store_.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));
    EXPECT_NE(nft_.scripts.back().find("tcp dport 3390 jump"), std::string::npos);
    const std::size_t projections = nft_.scripts.size();
    ASSERT_TRUE(firewall_.syncPorts(3390, 9000, error));
    EXPECT_EQ(nft_.scripts.size(), projections);

    // A deleted table is missing and put back, with one warning.
    nft_.table.clear();
    ASSERT_TRUE(firewall_.enforceKernel(state, enforced, error)) << error;
    EXPECT_EQ(state, KernelState::Missing);
    EXPECT_TRUE(enforced);
    EXPECT_TRUE(log_.contains("inet velmora was missing in the kernel; it was restored"));
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);

    // A table of an older policy is different; so is one that cannot be what we projected.
    const std::string current = nft_.table;
    ASSERT_TRUE(firewall_.addAllowRule("g1", 3390, "10.0.0.5/32", "", error, kProtocolTcp));
    nft_.table = current;
    ASSERT_TRUE(firewall_.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);
    nft_.table = R"({"nftables":[{"table":{"name":"velmora"}}]})";
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
