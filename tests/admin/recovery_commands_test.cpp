#include "admin/recovery_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "os/files.h"
#include "os/paths.h"
#include "recovery_fixture.h"
#include "support/firewall_rules.h"
#include "support/gate_requests.h"

namespace vel::admin {

using firewall::DefaultFirewallPolicy;
using firewall::FirewallPolicy;
using firewall::kGrantGroup;
using firewall::kProtocolTcp;
using firewall::kServiceGroup;
using firewall::kServiceRuleName;
using firewall::RuleAction;
using firewall::setDisarmed;
using gate::Credential;
using gate::GateConfig;
using gate::GateStore;
using test::FakeSystemctl;

namespace {

class RecoveryTest : public test::RecoveryFixture {
  protected:
    // The gate's unit as setup leaves it: installed, enabled, running.
    void installGateService(FakeSystemctl::Unit unit) {
        ASSERT_TRUE(WriteFileAtomic(service_.unitPath(), "[Service]\n"));
        unit.enabled = true;
        systemctl_.units["velmora.service"] = unit;
    }
    // A configuration with one key; the second load assigns the gate id, as the service's first
    // start does.
    void writeConfig(const GateConfig& config) {
        GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(data_.file("gate.json"), error)) << error;
        store.setConfig(config);
        ASSERT_TRUE(store.save(error)) << error;
        const Credential key = test::PlaceholderCredential("a2V5LW9uZQ", "desk key");
        ASSERT_EQ(store.addCredential(key, error), gate::AddCredentialResult::Added) << error;
        GateStore settled;
        ASSERT_TRUE(settled.load(data_.file("gate.json"), error)) << error;
    }
    void setPolicy(const FirewallPolicy& policy) {
        store_.edit([&](FirewallPolicy& current) { current = policy; });
    }
    // The lines between a step's heading and the next heading.
    Lines step(const std::string& heading) const {
        Lines result;
        auto it = std::find(lines_.begin(), lines_.end(), heading);
        if (it == lines_.end()) return {"(no step " + heading + ")"};
        for (++it; it != lines_.end() && it->rfind("     ", 0) == 0; ++it) result.push_back(*it);
        return result;
    }
};

// That unlock opens the port and arm closes it again is the end-to-end test's; here, which rules
// come back and how each step reports a failure.
TEST_F(RecoveryTest, UnlockWithoutInstalledServiceDisarmsAndRestoresTheRules) {
    GateConfig config;
    config.machineName = "desk-7";
    config.rdpPort = 3390;
    writeConfig(config);
    std::string gateJson;
    ASSERT_TRUE(ReadFileText(data_.file("gate.json"), gateJson));

    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules[0].enabled = false;  // the built-in rule, suppressed by the gate
    policy.rules.push_back(test::InboundRule("Custom RDP 3390", "", kProtocolTcp, "3390", false));
    policy.rules.push_back(test::InboundRule("Web 443", "", kProtocolTcp, "443", false));
    policy.rules.push_back(
        test::InboundRule("Velmora - allow 203.0.113.5", kGrantGroup, kProtocolTcp, "3390", true));
    policy.rules.push_back(
        test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "7440", true));
    policy.enforcement = {true, 3390, 7441};
    setPolicy(policy);

    EXPECT_EQ(RunUnlock(system_), 0);
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              (Lines{"     rules enabled: 2", "        Remote Desktop - User Mode (TCP-In)",
                     "        Custom RDP 3390"}));
    // A failed step is reported and the next ones still run.
    EXPECT_EQ(step("  4. Disabling autostart"), Lines{"     failed to change the startup type"});
    EXPECT_TRUE(printed("    nc -zv desk-7 3390"));

    // Grants go; the gate's own port rule, unrelated rules, keys and enforcement stay.
    const FirewallPolicy after = store_.policy();
    EXPECT_EQ(test::FindRule(after.rules, "Velmora - allow 203.0.113.5"), nullptr);
    EXPECT_TRUE(test::FindRule(after.rules, kServiceRuleName)->enabled);
    EXPECT_FALSE(test::FindRule(after.rules, "Web 443")->enabled);
    EXPECT_TRUE(after.enforcement.enabled);
    std::string gateJsonAfter;
    ASSERT_TRUE(ReadFileText(data_.file("gate.json"), gateJsonAfter));
    EXPECT_EQ(gateJsonAfter, gateJson);
}

TEST_F(RecoveryTest, UnlockDisablesTheServiceAndEnablesRemoteDesktop) {
    installGateService({.active = "active"});
    systemctl_.units["xrdp.service"] = {};

    EXPECT_EQ(RunUnlock(system_), 0);
    EXPECT_TRUE(FileExists(service_.restartDropInPath()));
    EXPECT_FALSE(systemctl_.units["velmora.service"].enabled);
    EXPECT_TRUE(systemctl_.units["xrdp.service"].enabled);
    EXPECT_EQ(systemctl_.units["xrdp.service"].active, "active");

    // A service that will not stop, with no process left to kill, names the safeguard.
    lines_.clear();
    systemctl_.units["velmora.service"] = {.active = "active", .stopHangs = true};
    RunUnlock(system_);
    EXPECT_EQ(step("  3. Stopping the gate service"),
              (Lines{"     the service did not stop, killing the process",
                     "     failed: the service process is no longer running",
                     "     The 'disarmed' marker still keeps it from closing the port.",
                     "     state: running"}));
}

TEST_F(RecoveryTest, UnlockAttemptsEveryStepWhenEarlierOnesFail) {
    ASSERT_TRUE(WriteFileAtomic(data_.file("not-a-directory"), "x"));
    system_.dataDirectory = data_.file("not-a-directory");
    systemctl_.reachable = false;
    store_.failReads("the store is locked");

    EXPECT_EQ(RunUnlock(system_), 0);
    EXPECT_EQ(step("  1. Forbidding the gate to touch the firewall").back(),
              "     A running service may undo the following steps.");
    EXPECT_EQ(step("  3. Stopping the gate service").back(), "     state: unknown");
    // Without a readable store the gate's table goes: unlock is there to let people in.
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              (Lines{"     firewall unavailable: FirewallStore::read failed: the store is locked",
                     "     the table inet velmora was removed from the kernel"}));
    EXPECT_EQ(nft_.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
    EXPECT_TRUE(printed("Recovery only partially completed — see the messages above."));
    EXPECT_FALSE(printed("Done. Normal RDP access restored (password + NLA)."));
}

TEST_F(RecoveryTest, UnlockVerificationNeedsAnEnabledAllowRule) {
    // Only a block rule exposes the port: nothing to restore, and nothing lets traffic in.
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules = {
        test::InboundRule("Block RDP", "", kProtocolTcp, "3389", true, RuleAction::Block)};
    policy.enforcement.enabled = true;
    setPolicy(policy);

    RunUnlock(system_);
    EXPECT_EQ(step("  7. Verification check after 3 seconds")[0],
              "     PROBLEM: the allow rules are gone again.");
    EXPECT_TRUE(printed("Recovery only partially completed — see the messages above."));

    // An nft that fails is reported, and the table goes so that the port opens.
    lines_.clear();
    nft_.failure = "nft failed: Error: Could not process rule";
    RunUnlock(system_);
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              (Lines{"     no disabled rules found — they are already enabled",
                     "     the rules could not be enforced: nft failed: Error: Could not process "
                     "rule",
                     "     FAILED to remove the table inet velmora: nft failed: Error: Could not "
                     "process rule"}));
}

TEST_F(RecoveryTest, ArmWarnsWithoutKeysAndFailsWhenTheServiceCannotRun) {
    installGateService({});
    std::string error;
    ASSERT_TRUE(setDisarmed(data_.path(), true, error));
    EXPECT_EQ(RunArm(system_), 0);
    EXPECT_EQ(lines_.front(), "No keys enrolled.");
    EXPECT_EQ(lines_.back(), "Service started, autostart enabled.");
    EXPECT_FALSE(FileExists(data_.file("gate.json"))) << "arm must not create the configuration";

    writeConfig(GateConfig{});
    lines_.clear();
    systemctl_.units["velmora.service"] = {.startFails = true};
    EXPECT_EQ(RunArm(system_), 1);
    EXPECT_EQ(lines_, (Lines{"The 'disarmed' marker has been removed.",
                             "The service failed to start: the service stopped immediately after "
                             "starting; check the gate log"}));

    // A directory with content in the marker's place cannot be deleted as a file; the service
    // then stays stopped.
    lines_.clear();
    systemctl_.units["velmora.service"] = {};
    ASSERT_TRUE(EnsureDirectory(data_.file("disarmed")));
    ASSERT_TRUE(WriteFileAtomic(JoinPath(data_.file("disarmed"), "keep"), "x"));
    EXPECT_EQ(RunArm(system_), 1);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("ERROR: failed to delete " + data_.file("disarmed"), 0), 0u)
        << lines_[0];
    EXPECT_EQ(systemctl_.units["velmora.service"].active, "inactive");
}

}  // namespace
}  // namespace vel::admin
