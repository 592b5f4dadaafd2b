#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "admin/recovery_commands.h"
#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "os/files.h"
#include "os/paths.h"
#include "recovery_fixture.h"
#include "support/firewall_rules.h"

namespace vel::admin {

using firewall::DefaultFirewallPolicy;
using firewall::FirewallPolicy;
using firewall::FirewallProfile;
using firewall::FirewallRule;
using firewall::kProtocolTcp;
using firewall::RuleAction;
using firewall::setDisarmed;
using gate::GateStore;

namespace {

bool setModificationTime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

class DiagTest : public test::RecoveryFixture {
  protected:
    void setPolicy(const std::function<void(FirewallPolicy&)>& change) {
        store_.edit(change);
        // The kernel holds what the store says unless a test says otherwise.
        firewall::Firewall firewall(store_, nft_);
        std::string error;
        ASSERT_TRUE(firewall.reproject(error)) << error;
    }
};

// Each case asserts the verdict line that tells the administrator what is wrong or what to run.
TEST_F(DiagTest, FirewallSectionNamesTheProblemAndItsFix) {
    const struct {
        std::function<void(FirewallPolicy&)> change;
        Lines expected;
    } cases[] = {
        {[](FirewallPolicy& policy) {
             policy.profile(FirewallProfile::Private).firewallEnabled = false;
         },
         {"   [PROBLEM] the firewall is off — rules have no effect,",
          "   Fix it now: Velmora.exe harden"}},
        {[](FirewallPolicy& policy) {
             policy = DefaultFirewallPolicy();
             policy.profile(FirewallProfile::Public).defaultInboundAction = RuleAction::Allow;
         },
         {"   [PROBLEM] inbound is allowed by default — without blocking"}},
        {[](FirewallPolicy& policy) {
             policy = DefaultFirewallPolicy();
             policy.rules[0].enabled = false;
             policy.rules.push_back(test::InboundRule("Block scanners", "", kProtocolTcp, "3389",
                                                      true, RuleAction::Block));
             policy.rules.push_back(test::InboundRule("Web", "", kProtocolTcp, "443", true));
             policy.enforcement.enabled = true;
         },
         {"   [off] Remote Desktop - User Mode (TCP-In)", "   [on ] Block scanners  (BLOCKING)",
          "   SUMMARY: no allow rules — the port is closed from outside.",
          "   Restore access: Velmora.exe unlock"}},
        {[](FirewallPolicy& policy) { policy.rules.clear(); },
         {"   [PROBLEM] no rules found for this port at all"}},
    };
    for (const auto& c : cases) {
        lines_.clear();
        setPolicy(c.change);
        EXPECT_EQ(RunDiag(system_), 0);
        for (const std::string& line : c.expected) EXPECT_TRUE(printed(line)) << line;
        EXPECT_FALSE(std::any_of(lines_.begin(), lines_.end(), [](const std::string& line) {
            return line.find("Web") != std::string::npos;
        })) << "a rule for another port is listed";
    }

    // The kernel decides: a table someone deleted leaves the port open whatever the rules say.
    lines_.clear();
    setPolicy([](FirewallPolicy& policy) {
        policy.rules.push_back(
            test::InboundRule("Custom RDP", "", kProtocolTcp, "3000-4000", true));
    });
    nft_.table.clear();
    RunDiag(system_);
    EXPECT_TRUE(printed("   [PROBLEM] the port is OPEN from outside and NO key is asked for:"));

    // Without access to the kernel (no root) nothing is claimed either way.
    lines_.clear();
    nft_.failure = "nft failed: Operation not permitted";
    RunDiag(system_);
    EXPECT_TRUE(
        printed("   [info] enforcement: the kernel's firewall table cannot be read (nft "
                "failed: Operation not permitted)"));
    EXPECT_TRUE(printed("   SUMMARY: active allow rules: 1"));
}

TEST_F(DiagTest, ListeningServiceAndCodeSections) {
    // An older build's code inside gate.json, no code beside it, and an outdated installed copy.
    ASSERT_TRUE(WriteFileAtomic(data_.file("gate.json"),
                                R"({"version":1,"config":{"rdpPort":3390,"listenPort":7450,)"
                                R"("gateId":"0123456789abcdef0123456789abcdef"},)"
                                R"("enrollmentCode":{"hash":"00","expiresAt":1}})"));
    ASSERT_TRUE(WriteFileAtomic(system_.programPath, "new build"));
    ASSERT_TRUE(WriteFileAtomic(system_.installedPath, "old build"));
    ASSERT_TRUE(setModificationTime(system_.installedPath, 1'700'000'000));
    ASSERT_TRUE(setModificationTime(system_.programPath, 1'700'000'060));
    systemctl_.units["xrdp.service"] = {.active = "active", .enabled = true};
    systemctl_.units["velmora.service"] = {};
    listening_ = {3390};
    std::string error;
    ASSERT_TRUE(setDisarmed(data_.path(), true, error));

    EXPECT_EQ(RunDiag(system_), 0);
    for (const std::string& line :
         Lines{"   [ok]   port 3390 is listening",
               "   [info] gate port 7450 is not listening (service stopped?)",
               "   [info] the gate is DISARMED: it does not touch the firewall",
               "   [info] no keys, so the gate does not close the RDP port",
               "   [info] no active code — issue one: Velmora.exe code",
               "   [info] a code was also found in the old place (inside gate.json)",
               "   [PROBLEM] the installed file is OLDER than this one.",
               "       cp -f \"" + system_.programPath + "\" \"" + system_.installedPath + "\""}) {
        EXPECT_TRUE(printed(line)) << line;
    }
}

}  // namespace
}  // namespace vel::admin
