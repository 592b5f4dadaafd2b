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

TEST(FirewallSuppression, ClosesEveryExposureButTheGatesOwnAndRestoresThem) {
    LogCapture log;
    MemoryFirewallStore store(mixedPolicy());
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    Names closed;
    EXPECT_EQ(firewall.suppressAllowRules(3389, error, &closed), 5) << error;
    EXPECT_EQ(closed, (Names{kBuiltInRemoteDesktopRuleName, "RD shadow", "RD udp",
                             "Open everything", "RDP range"}));
    for (const std::string& name : closed) EXPECT_FALSE(findRule(store.policy(), name).enabled);
    for (const char* spared : {"Some program", "Web", "Deny RDP", "Outbound RDP",
                               "Velmora - allow 10.0.0.5 [1]", kServiceRuleName}) {
        EXPECT_TRUE(findRule(store.policy(), spared).enabled) << spared;
    }
    EXPECT_TRUE(log.contains("disabled inbound allow rule exposing port 3389: 'RDP range'"));
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), 0);

    // The rule list for the port shows every inbound rule exposing it, whatever its state.
    Names listed;
    for (const Firewall::PortRule& rule : firewall.rulesForPort(3389, error)) {
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
    ASSERT_TRUE(firewall.enableRdpAccess(3389, restored, error)) << error;
    EXPECT_EQ(restored, (Names{kBuiltInRemoteDesktopRuleName, "RD shadow", "RD udp", "RD blocked",
                               "Open everything", "RDP range", "Old RDP rule"}));
    EXPECT_FALSE(findRule(store.policy(), "Velmora - allow 10.0.0.6 [2]").enabled);
    EXPECT_TRUE(log.contains("restored inbound rule 'Old RDP rule'"));

    // A rule that cannot be changed is reported and not counted.
    store.failUpdates("read-only file system");
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), 0);
    EXPECT_TRUE(log.contains("could not disable allow rule 'Remote Desktop - User Mode (TCP-In)'"));
}

TEST(FirewallGrants, AllowRulesAreAddedValidatedListedAndRemoved) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    EXPECT_EQ(firewall.removeAllGrantRules(error), 0);
    EXPECT_FALSE(log.contains("stale grant"));

    ASSERT_TRUE(firewall.addAllowRule("Velmora - allow 10.0.0.5 [1]", 3389,
                                      hostRemoteAddress(address("10.0.0.5")), "grant", error,
                                      kProtocolTcp))
        << error;
    ASSERT_TRUE(firewall.addAllowRule("Velmora - stream for fe80::1 [2]", 7441,
                                      hostRemoteAddress(address("fe80::1")), "stream", error,
                                      kProtocolUdp));
    ASSERT_TRUE(firewall.addAllowRule("anyone", 3389, "*", "open", error, kProtocolTcp));

    FirewallRule expected =
        test::InboundRule("Velmora - allow 10.0.0.5 [1]", kGrantGroup, kProtocolTcp, "3389", true);
    expected.description = "grant";
    expected.remoteAddresses = "10.0.0.5/32";
    EXPECT_EQ(findRule(store.policy(), expected.name), expected);
    EXPECT_EQ(findRule(store.policy(), "Velmora - stream for fe80::1 [2]").protocol, kProtocolUdp);
    EXPECT_EQ(findRule(store.policy(), "anyone").remoteAddresses, "*");

    // Addresses a rule could not hold change nothing; an empty one would have meant "any".
    for (const char* bad : {"", "10.0.0.5,DNS", "somewhere.example"}) {
        EXPECT_FALSE(firewall.addAllowRule("bad", 3389, bad, "", error, kProtocolTcp)) << bad;
        EXPECT_EQ(error, "failed to set the rule's remote address");
    }
    EXPECT_EQ(store.policy().rules.size(), 4u);

    ASSERT_TRUE(firewall.removeRule("anyone", error));
    const std::vector<FirewallRuleInfo> grants = firewall.listGrantRules(error);
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[0].remoteAddresses, "10.0.0.5/32");
    EXPECT_EQ(grants[0].localPorts, "3389");
    EXPECT_TRUE(grants[0].enabled);
    EXPECT_EQ(firewall.removeAllGrantRules(error), 2);
    EXPECT_TRUE(log.contains("removed 2 stale grant rule(s)"));
    EXPECT_EQ(store.policy(), DefaultFirewallPolicy());
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
    FirewallRule fresh =
        test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "8443", true);
    fresh.description = kServiceRuleDescription;
    EXPECT_EQ(findRule(store.policy(), kServiceRuleName), fresh);
    EXPECT_TRUE(log.contains("opened the gate's own port 8443 in the firewall"));

    const auto editServiceRule = [&](void (*edit)(FirewallRule&)) {
        store.update(
            [&](FirewallPolicy& p, std::string&) {
                for (FirewallRule& r : p.rules) {
                    if (r.name == kServiceRuleName) edit(r);
                }
                return true;
            },
            error);
    };
    // Right: enabled, allowing, its list holds the port (the protocol is not examined).
    editServiceRule([](FirewallRule& r) {
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
        editServiceRule(edit);
        ASSERT_TRUE(firewall.ensureServicePortRule(8443, created, error));
        EXPECT_TRUE(created);
        const FirewallPolicy after = store.policy();
        EXPECT_EQ(after.rules.size(), 2u);
        EXPECT_EQ(findRule(after, kServiceRuleName), fresh);
    }
}

TEST(FirewallProfiles, ProfileSettingsAreReadAndRepaired) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;
    bool allows = true, allOn = false, changed = true;

    ASSERT_TRUE(firewall.defaultInboundAllows(allows, error));
    ASSERT_TRUE(firewall.isEnabledOnAllProfiles(allOn, error));
    ASSERT_TRUE(firewall.enableOnAllProfiles(changed, error));
    EXPECT_FALSE(allows || changed || !allOn);
    EXPECT_FALSE(log.contains("switched on"));

    EXPECT_TRUE(store.setDefaultInboundAction(FirewallProfile::Public, RuleAction::Allow, error));
    EXPECT_TRUE(store.setFirewallEnabled(FirewallProfile::Private, false, error));
    ASSERT_TRUE(firewall.defaultInboundAllows(allows, error));
    ASSERT_TRUE(firewall.isEnabledOnAllProfiles(allOn, error));
    EXPECT_TRUE(allows && !allOn);

    ASSERT_TRUE(firewall.setDefaultInboundBlock(error));
    ASSERT_TRUE(firewall.enableOnAllProfiles(changed, error));
    EXPECT_TRUE(changed);
    EXPECT_EQ(store.policy().profiles, DefaultFirewallPolicy().profiles);
    EXPECT_TRUE(log.contains("default inbound action set to Block on all profiles"));
    EXPECT_TRUE(log.contains("the Windows Firewall was switched on for every profile"));
}

TEST(FirewallFailures, StoreFailuresNameTheOperationThatFailed) {
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    store.failReads("firewall.json is damaged");
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), -1);
    EXPECT_EQ(error, "FirewallStore::read failed: firewall.json is damaged");
    EXPECT_EQ(firewall.removeAllGrantRules(error), -1);
    EXPECT_TRUE(firewall.rulesForPort(3389, error).empty());
    store.failReads("");

    store.failUpdates("no space left on device");
    EXPECT_FALSE(firewall.addAllowRule("g", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    EXPECT_EQ(error, "FirewallStore::addRule failed: no space left on device");
    bool flag = false;
    EXPECT_FALSE(firewall.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(error, "FirewallStore::addRule(service port) failed: no space left on device");
    store.failUpdates(std::string(300, 'x'));
    EXPECT_FALSE(firewall.setDefaultInboundBlock(error));
    EXPECT_EQ(error.size(), 159u);
}

TEST(FirewallEnforcement, ChangesAreProjectedOnlyWhileEnforcementIsOn) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;

    ASSERT_TRUE(firewall.addAllowRule("g1", 3389, "10.0.0.5/32", "", error, kProtocolTcp));
    ASSERT_TRUE(firewall.reproject(error));
    EXPECT_TRUE(nft.scripts.empty());

    // nft refuses: the switch stays off.
    nft.failure = "nft failed: Error: Could not process rule";
    EXPECT_FALSE(firewall.setEnforcement({true, 3390, 9000}, error));
    EXPECT_EQ(error, "nft failed: Error: Could not process rule");
    EnforcementSettings settings;
    ASSERT_TRUE(firewall.enforcement(settings, error));
    EXPECT_FALSE(settings.enabled);

    nft.failure.clear();
    ASSERT_TRUE(firewall.setEnforcement({true, 3390, 9000}, error)) << error;
    ASSERT_EQ(nft.scripts.size(), 1u);
    EXPECT_NE(nft.scripts[0].find("udp dport 9003 jump udp_9003"), std::string::npos);
    EXPECT_EQ(store.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));

    // Every change is followed by the projection of the store as it now is.
    const std::string before = nft.scripts.back();
    ASSERT_TRUE(firewall.addAllowRule("g2", 3390, "10.9.9.9/32", "", error, kProtocolTcp));
    EXPECT_NE(nft.scripts.back().find("ip saddr 10.9.9.9 accept"), std::string::npos);
    ASSERT_TRUE(firewall.removeRule("g2", error));
    EXPECT_EQ(nft.scripts.back(), before);
    EXPECT_EQ(firewall.suppressAllowRules(3389, error), 1);
    ASSERT_TRUE(firewall.setDefaultInboundBlock(error));
    bool flag = false;
    ASSERT_TRUE(firewall.ensureServicePortRule(443, flag, error));
    EXPECT_EQ(firewall.removeAllGrantRules(error), 1);
    EXPECT_EQ(nft.scripts.size(), 7u);
    // Reads and repairs with nothing to repair leave the kernel alone.
    firewall.rulesForPort(3389, error);
    ASSERT_TRUE(firewall.enableOnAllProfiles(flag, error));
    EXPECT_EQ(nft.scripts.size(), 7u);

    // A projection that fails fails the change; a rule the kernel never got is not kept to
    // open the port at some later projection.
    nft.failure = "nft failed: Error: No such file or directory";
    EXPECT_FALSE(firewall.addAllowRule("g3", 3390, "10.0.0.7/32", "", error, kProtocolTcp));
    EXPECT_EQ(error, "nft failed: Error: No such file or directory");
    EXPECT_FALSE(firewall.removeRule("g1", error));
    EXPECT_FALSE(firewall.reproject(error));
    nft.failure.clear();
    for (const FirewallRule& rule : store.policy().rules) EXPECT_NE(rule.name, "g3");

    ASSERT_TRUE(firewall.setEnforcement({false, 3390, 9000}, error));
    EXPECT_EQ(nft.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
    ASSERT_TRUE(firewall.removeRule("g3", error));
    EXPECT_EQ(nft.scripts.size(), 8u);
}

TEST(FirewallEnforcement, TheKernelIsCheckedRestoredAndFollowsThePorts) {
    LogCapture log;
    MemoryFirewallStore store;
    RecordingNftRunner nft;
    Firewall firewall(store, nft);
    std::string error;
    KernelState state = KernelState::Enforced;
    bool enforced = true;

    ASSERT_TRUE(firewall.enforceKernel(state, enforced, error)) << error;
    EXPECT_EQ(state, KernelState::Off);
    EXPECT_FALSE(enforced);
    ASSERT_TRUE(firewall.setEnforcement({true, 3389, 7441}, error)) << error;
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);

    // New ports reach the store and the kernel; the same ports change nothing.
    ASSERT_TRUE(firewall.syncPorts(3390, 9000, error)) << error;
    EXPECT_EQ(store.policy().enforcement, (EnforcementSettings{true, 3390, 9000}));
    EXPECT_NE(nft.scripts.back().find("tcp dport 3390 jump"), std::string::npos);
    const std::size_t projections = nft.scripts.size();
    ASSERT_TRUE(firewall.syncPorts(3390, 9000, error));
    EXPECT_EQ(nft.scripts.size(), projections);

    // A deleted table is missing and put back, with one warning.
    nft.table.clear();
    ASSERT_TRUE(firewall.enforceKernel(state, enforced, error)) << error;
    EXPECT_EQ(state, KernelState::Missing);
    EXPECT_TRUE(enforced);
    EXPECT_TRUE(log.contains("inet velmora was missing in the kernel; it was restored"));
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);

    // A table of an older policy is different; so is one that cannot be what we projected.
    const std::string current = nft.table;
    ASSERT_TRUE(firewall.addAllowRule("g1", 3390, "10.0.0.5/32", "", error, kProtocolTcp));
    nft.table = current;
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);
    nft.table = R"({"nftables":[{"table":{"name":"velmora"}}]})";
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);

    // The first check after a projection learns the table; one that keeps our mark but gains a
    // rule afterwards was altered.
    ASSERT_TRUE(firewall.reproject(error)) << error;
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Enforced);
    nft.table.insert(nft.table.size() - 2, R"(,{"rule":{"expr":"accept"}})");
    ASSERT_TRUE(firewall.checkKernel(state, error));
    EXPECT_EQ(state, KernelState::Different);

    // A listing that fails is no answer at all.
    nft.failure = "nft failed: Operation not permitted";
    EXPECT_FALSE(firewall.checkKernel(state, error));
    EXPECT_FALSE(firewall.enforceKernel(state, enforced, error));
    EXPECT_FALSE(enforced);
    nft.failure.clear();

    // With enforcement off, a table left behind is removed.
    ASSERT_TRUE(firewall.setEnforcement({false, 3390, 9000}, error));
    nft.table = current;
    ASSERT_TRUE(firewall.enforceKernel(state, enforced, error));
    EXPECT_EQ(state, KernelState::Different);
    EXPECT_FALSE(enforced);
    EXPECT_EQ(nft.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
}

}  // namespace
}  // namespace vel::firewall
