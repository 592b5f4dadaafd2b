#include "admin/recovery_commands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
using firewall::FirewallRule;
using firewall::isDisarmed;
using firewall::kGrantGroup;
using firewall::kProtocolTcp;
using firewall::kServiceGroup;
using firewall::kServiceRuleName;
using firewall::setDisarmed;
using firewall::RuleAction;
using gate::Credential;
using gate::GateConfig;
using gate::GateStore;
using test::FakeSystemctl;

namespace {

// Stands for the gate's main process, so that killing it is real.
class StandInProcess {
  public:
    StandInProcess() {
        char program[] = "sleep";
        char seconds[] = "60";
        char* argv[] = {program, seconds, nullptr};
        if (::posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ) != 0) pid_ = 0;
    }
    ~StandInProcess() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    StandInProcess(const StandInProcess&) = delete;
    StandInProcess& operator=(const StandInProcess&) = delete;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
};

class RecoveryTest : public test::RecoveryFixture {
  protected:
    // The gate's unit as setup leaves it: installed, enabled, running.
    void installGateService(FakeSystemctl::Unit unit) {
        ASSERT_TRUE(WriteFileAtomic(service_.unitPath(), "[Service]\n"));
        unit.enabled = true;
        systemctl_.units["velmora.service"] = unit;
    }
    void writeConfig(const GateConfig& config, bool withKey) {
        GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(data_.file("gate.json"), error)) << error;
        store.setConfig(config);
        ASSERT_TRUE(store.save(error)) << error;
        if (withKey) {
            const Credential key = test::PlaceholderCredential("a2V5LW9uZQ", "desk key");
            ASSERT_EQ(store.addCredential(key, error), gate::AddCredentialResult::Added) << error;
        }
        GateStore
            settled;  // the second load assigns the gate id, as the service's first start does
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
    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(data_.file("gate.log"), text));
        return text;
    }
};

TEST_F(RecoveryTest, UnlockWithoutInstalledServiceDisarmsAndRestoresTheRules) {
    GateConfig config;
    config.machineName = "desk-7";
    config.rdpPort = 3390;
    writeConfig(config, true);
    std::string gateJson;
    ASSERT_TRUE(ReadFileText(data_.file("gate.json"), gateJson));

    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules[0].enabled = false;  // the built-in rule, suppressed by the gate
    policy.rules.push_back(test::InboundRule("Custom RDP 3390", "", kProtocolTcp, "3390", false));
    policy.rules.push_back(test::InboundRule("Web 443", "", kProtocolTcp, "443", false));
    FirewallRule grant =
        test::InboundRule("Velmora - allow 203.0.113.5", kGrantGroup, kProtocolTcp, "3390", true);
    grant.remoteAddresses = "203.0.113.5/32";
    policy.rules.push_back(grant);
    policy.rules.push_back(
        test::InboundRule(kServiceRuleName, kServiceGroup, kProtocolTcp, "7440", true));
    policy.enforcement = {true, 3390, 7441};
    setPolicy(policy);

    EXPECT_EQ(RunUnlock(system_), 0);
    EXPECT_EQ(step("  1. Forbidding the gate to touch the firewall"),
              Lines{"     marker created: " + data_.file("disarmed")});
    EXPECT_EQ(step("  3. Stopping the gate service"), Lines{"     state: not installed"});
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              (Lines{"     rules enabled: 2", "        Remote Desktop - User Mode (TCP-In)",
                     "        Custom RDP 3390"}));
    // A failed step is reported and the next ones still run.
    EXPECT_EQ(step("  4. Disabling autostart"), Lines{"     failed to change the startup type"});
    EXPECT_EQ(step("  7. Verification check after 3 seconds"),
              Lines{"     rules in place, port is open"});
    EXPECT_TRUE(printed("Done. Normal RDP access restored (password + NLA)."));
    EXPECT_TRUE(printed("    nc -zv desk-7 3390"));
    EXPECT_TRUE(isDisarmed(data_.path()));
    EXPECT_EQ(slept_, 3000);

    // Grants go; the gate's own port rule, unrelated rules, keys and enforcement stay.
    const FirewallPolicy after = store_.policy();
    EXPECT_EQ(test::FindRule(after.rules, "Velmora - allow 203.0.113.5"), nullptr);
    ASSERT_NE(test::FindRule(after.rules, kServiceRuleName), nullptr);
    EXPECT_TRUE(test::FindRule(after.rules, kServiceRuleName)->enabled);
    EXPECT_FALSE(test::FindRule(after.rules, "Web 443")->enabled);
    EXPECT_TRUE(after.enforcement.enabled);
    EXPECT_FALSE(nft_.scripts.empty()) << "the restored rules were not projected";
    std::string gateJsonAfter;
    ASSERT_TRUE(ReadFileText(data_.file("gate.json"), gateJsonAfter));
    EXPECT_EQ(gateJsonAfter, gateJson);
}

TEST_F(RecoveryTest, UnlockStopsDisablesAndEnablesRemoteDesktop) {
    installGateService({.active = "active"});
    systemctl_.units["xrdp.service"] = {};

    EXPECT_EQ(RunUnlock(system_), 0);
    EXPECT_EQ(step("  3. Stopping the gate service"), Lines{"     state: stopped"});
    EXPECT_EQ(step("  4. Disabling autostart"), Lines{"     service set to 'disabled'"});
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              Lines{"     no disabled rules found — they are already enabled"});
    EXPECT_EQ(step("  6. Checking the Remote Desktop service"),
              (Lines{"     connections allowed (fDenyTSConnections = 0)",
                     "     TermService is running"}));
    // Nothing was disabled, and the verification still ran.
    EXPECT_EQ(step("  7. Verification check after 3 seconds"),
              Lines{"     rules in place, port is open"});
    EXPECT_EQ(slept_, 3000);
    EXPECT_TRUE(printed("    nc -zv machine_name 3389"));

    EXPECT_TRUE(FileExists(service_.restartDropInPath()));
    EXPECT_EQ(systemctl_.units["velmora.service"].active, "inactive");
    EXPECT_FALSE(systemctl_.units["velmora.service"].enabled);
    EXPECT_TRUE(systemctl_.units["xrdp.service"].enabled);
    EXPECT_EQ(systemctl_.units["xrdp.service"].active, "active");
    EXPECT_NE(log().find("could not enforce NLA: not applicable to xrdp"), std::string::npos);
}

TEST_F(RecoveryTest, UnlockKillsAServiceThatWillNotStop) {
    StandInProcess process;
    ASSERT_GT(process.pid(), 0) << "sleep could not be started";
    installGateService({.active = "active", .stopHangs = true, .mainPid = process.pid()});

    RunUnlock(system_);
    EXPECT_EQ(step("  3. Stopping the gate service"),
              (Lines{"     the service did not stop, killing the process",
                     "     process terminated", "     state: stopped"}));
    EXPECT_EQ(systemctl_.units["velmora.service"].mainPid, 0) << "the process is still alive";

    // Without a process to kill the failure is reported and the marker is named as the safeguard.
    lines_.clear();
    systemctl_.units["velmora.service"].active = "active";
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
    const Lines marker = step("  1. Forbidding the gate to touch the firewall");
    ASSERT_EQ(marker.size(), 2u);
    EXPECT_EQ(marker[0].rfind("     FAILED: failed to create " + data_.file("not-a-directory"), 0),
              0u)
        << marker[0];
    EXPECT_EQ(marker[1], "     A running service may undo the following steps.");
    EXPECT_EQ(step("  2. Removing service auto-restart"), Lines{"     restart on failure disabled"})
        << "no unit file: nothing can restart it";
    const Lines stop = step("  3. Stopping the gate service");
    ASSERT_EQ(stop.size(), 2u);
    EXPECT_EQ(stop[0].rfind("     normal stop failed: systemctl stop failed: System has not", 0),
              0u);
    EXPECT_EQ(stop[1], "     state: unknown");
    EXPECT_EQ(step("  4. Disabling autostart"), Lines{"     failed to change the startup type"});
    // Without a readable store the gate's table goes: unlock is there to let people in.
    EXPECT_EQ(step("  5. Restoring firewall rules"),
              (Lines{"     firewall unavailable: FirewallStore::read failed: the store is locked",
                     "     the table inet velmora was removed from the kernel"}));
    EXPECT_EQ(nft_.scripts.back(), "table inet velmora\ndelete table inet velmora\n");
    EXPECT_EQ(step("  6. Checking the Remote Desktop service").size(), 2u);
    EXPECT_EQ(step("  7. Verification check after 3 seconds"),
              Lines{"     PROBLEM: the kernel's firewall table cannot be read: "
                    "FirewallStore::read failed: the store is locked"});
    EXPECT_TRUE(printed("Recovery only partially completed — see the messages above."));
    EXPECT_FALSE(printed("Done. Normal RDP access restored (password + NLA)."));
}

TEST_F(RecoveryTest, UnlockVerificationNeedsAnEnabledAllowRule) {
    // Only a block rule exposes the port: nothing to restore, and nothing lets traffic in.
    FirewallPolicy policy = DefaultFirewallPolicy();
    policy.rules.clear();
    FirewallRule block = test::InboundRule("Block RDP", "", kProtocolTcp, "3389", true);
    block.action = RuleAction::Block;
    policy.rules.push_back(block);
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
    EXPECT_TRUE(printed("Recovery only partially completed — see the messages above."));

    // With nft back, a second unlock projects again although the store did not change, and
    // its check reads the kernel: the table is the projection, and it lets nobody in.
    lines_.clear();
    nft_.failure.clear();
    nft_.table.clear();
    const std::size_t before = nft_.scripts.size();
    RunUnlock(system_);
    EXPECT_EQ(nft_.scripts.size(), before + 1);
    EXPECT_EQ(step("  7. Verification check after 3 seconds")[0],
              "     PROBLEM: the allow rules are gone again.");
}

TEST_F(RecoveryTest, ArmWithoutKeysWarnsRemovesTheMarkerAndStartsTheService) {
    installGateService({});
    systemctl_.units["velmora.service"].enabled = false;
    std::string error;
    ASSERT_TRUE(setDisarmed(data_.path(), true, error));

    EXPECT_EQ(RunArm(system_), 0);
    EXPECT_EQ(lines_, (Lines{"No keys enrolled.",
                             "The gate will start, but it will close the RDP port only after",
                             "the first key is enrolled — you will not lose access.",
                             "The 'disarmed' marker has been removed.",
                             "Service started, autostart enabled."}));
    EXPECT_FALSE(isDisarmed(data_.path()));
    EXPECT_TRUE(systemctl_.units["velmora.service"].enabled);
    EXPECT_EQ(systemctl_.units["velmora.service"].active, "active");
    EXPECT_FALSE(FileExists(data_.file("gate.json"))) << "arm must not create the configuration";

    // With a key there is no warning; a service that will not start fails the command.
    writeConfig(GateConfig{}, true);
    lines_.clear();
    systemctl_.units["velmora.service"] = {.startFails = true};
    EXPECT_EQ(RunArm(system_), 1);
    EXPECT_EQ(lines_, (Lines{"The 'disarmed' marker has been removed.",
                             "The service failed to start: the service stopped immediately after "
                             "starting; check the gate log"}));
}

TEST_F(RecoveryTest, ArmKeepsTheServiceStoppedWhenTheMarkerCannotBeRemoved) {
    installGateService({});
    // A directory with content in the marker's place cannot be deleted as a file.
    ASSERT_TRUE(EnsureDirectory(data_.file("disarmed")));
    ASSERT_TRUE(WriteFileAtomic(JoinPath(data_.file("disarmed"), "keep"), "x"));
    writeConfig(GateConfig{}, true);

    EXPECT_EQ(RunArm(system_), 1);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].rfind("ERROR: failed to delete " + data_.file("disarmed"), 0), 0u)
        << lines_[0];
    EXPECT_EQ(systemctl_.units["velmora.service"].active, "inactive");
}

}  // namespace
}  // namespace vel::admin
