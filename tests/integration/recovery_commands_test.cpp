// unlock, arm and diag as an administrator runs them: the real binary over a data directory and a
// stand-in systemd of the test's own. unlock and arm run in a network namespace of their own, so
// the host's ruleset stays out of reach whatever they do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

class RecoveryCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        data_ = JoinPath(root_.path(), "Velmora");
        ASSERT_TRUE(EnsureDirectory(data_));
    }
    test::ProcessResult run(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        args.insert(args.begin(), test::VelmoraBinary());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + root_.path());
        env.push_back("INVOCATION_ID=");
        return test::RunProcess(args, env);
    }
    // As root, in a fresh network namespace; skips the test when that is not possible.
    test::ProcessResult runIsolated(const std::vector<std::string>& args) {
        return run(args, {"/usr/bin/unshare", "--net"});
    }
    bool isolationAvailable() {
        return ::geteuid() == 0 && FileExists("/usr/bin/unshare") &&
               test::RunProcess({"/usr/bin/unshare", "--net", "/bin/true"}).exitCode == 0;
    }
    static bool has(const test::ProcessResult& result, const std::string& line) {
        return result.output.find(line + "\n") != std::string::npos;
    }
    bool called(const std::string& line) const {
        const std::vector<std::string> calls = systemd_.calls();
        return std::find(calls.begin(), calls.end(), line) != calls.end();
    }
    firewall::FirewallPolicy policy() {
        firewall::FileFirewallStore store(data_);
        firewall::FirewallPolicy result;
        std::string error;
        EXPECT_TRUE(store.read(
            [&](const firewall::FirewallPolicy& current, std::string&) {
                result = current;
                return true;
            },
            error))
            << error;
        return result;
    }
    void changePolicy(const std::function<void(firewall::FirewallPolicy&)>& change) {
        firewall::FileFirewallStore store(data_);
        std::string error;
        ASSERT_TRUE(store.update(
            [&](firewall::FirewallPolicy& current, std::string&) {
                change(current);
                return true;
            },
            error))
            << error;
    }

    test::TempDir root_;
    std::string data_;
    test::StandInSystemd systemd_;
};

TEST_F(RecoveryCommandsTest, UnlockAndArmNeedAdministratorRights) {
    std::vector<std::string> prefix;
    if (::geteuid() == 0) {
        if (!FileExists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is needed to drop root";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    for (const char* command : {"unlock", "arm"}) {
        const test::ProcessResult result = run({command}, prefix);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output, "ERROR: administrator rights are required.\n") << command;
    }
    EXPECT_FALSE(FileExists(JoinPath(data_, "disarmed")));
    EXPECT_TRUE(systemd_.calls().empty());
}

TEST_F(RecoveryCommandsTest, UnlockKillsAStuckServiceAndRestoresAccessThenArmUndoesIt) {
    if (!isolationAvailable()) GTEST_SKIP() << "needs root and unshare --net";
    // A gate service that ignores the stop request; its process is a plain sleep.
    ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(), "[Service]\nExecStart=\"/bin/sleep\" 600\n"));
    systemd_.setFlag("velmora.service", "enabled", true);
    systemd_.setFlag("velmora.service", "stop-hangs", true);
    ASSERT_EQ(test::RunProcess({"/bin/sh", "-c", "systemctl start velmora.service"},
                               systemd_.environment())
                  .exitCode,
              0);
    const int stuck = systemd_.mainPid();
    ASSERT_GT(stuck, 0);
    systemd_.addUnit("xrdp.service", false, false);
    changePolicy([](firewall::FirewallPolicy& policy) {
        policy.rules[0].enabled = false;
        firewall::FirewallRule grant = policy.rules[0];
        grant.name = "Velmora - allow 203.0.113.9";
        grant.grouping = firewall::kGrantGroup;
        grant.enabled = true;
        policy.rules.push_back(grant);
    });

    const test::ProcessResult unlock = runIsolated({"unlock"});
    EXPECT_EQ(unlock.exitCode, 0) << unlock.output;
    EXPECT_TRUE(has(unlock, "     marker created: " + JoinPath(data_, "disarmed")))
        << unlock.output;
    EXPECT_TRUE(has(unlock, "     restart on failure disabled"));
    EXPECT_TRUE(has(unlock,
                    "     normal stop failed: systemctl stop failed: Job for velmora.service "
                    "canceled."));
    EXPECT_TRUE(has(unlock, "     process terminated"));
    EXPECT_TRUE(has(unlock, "     state: stopped")) << unlock.output;
    EXPECT_TRUE(has(unlock, "     service set to 'disabled'"));
    EXPECT_TRUE(has(unlock, "     rules enabled: 1\n        Remote Desktop - User Mode (TCP-In)"));
    EXPECT_TRUE(has(unlock, "     TermService is running"));
    EXPECT_TRUE(has(unlock, "     rules in place, port is open"));
    EXPECT_TRUE(has(unlock, "Done. Normal RDP access restored (password + NLA)."));
    EXPECT_EQ(systemd_.mainPid(), 0) << "process " << stuck << " is still running";
    EXPECT_TRUE(FileExists(JoinPath(systemd_.unitDirectory(), "velmora.service.d/restart.conf")));
    EXPECT_FALSE(systemd_.hasFlag("velmora.service", "enabled"));
    EXPECT_TRUE(systemd_.hasFlag("xrdp.service", "enabled"));
    EXPECT_TRUE(systemd_.hasFlag("xrdp.service", "active"));
    const firewall::FirewallPolicy restored = policy();
    ASSERT_EQ(restored.rules.size(), 1u) << "the grant rule was not removed";
    EXPECT_TRUE(restored.rules[0].enabled);

    // arm brings autostart back and starts the service, which here refuses to come up.
    systemd_.setFlag("velmora.service", "start-fails", true);
    const test::ProcessResult arm = runIsolated({"arm"});
    EXPECT_EQ(arm.exitCode, 1) << arm.output;
    EXPECT_EQ(arm.output,
              "No keys enrolled.\n"
              "The gate will start, but it will close the RDP port only after\n"
              "the first key is enrolled — you will not lose access.\n"
              "The 'disarmed' marker has been removed.\n"
              "The service failed to start: the service stopped immediately after starting; "
              "check the gate log\n");
    EXPECT_FALSE(FileExists(JoinPath(data_, "disarmed")));
    EXPECT_TRUE(systemd_.hasFlag("velmora.service", "enabled"));
    EXPECT_TRUE(called("start velmora.service"));
}

TEST_F(RecoveryCommandsTest, DiagExplainsAnOpenFirewallWithoutAdministratorRights) {
    systemd_.addUnit("xrdp.service", true, true);
    changePolicy([](firewall::FirewallPolicy& policy) {
        policy.profile(firewall::FirewallProfile::Public).firewallEnabled = false;
    });
    const test::ProcessResult diag = run({"diag"});
    EXPECT_EQ(diag.exitCode, 0);
    for (const char* line : {
             "RDP access diagnostics",
             "   [ok]   connections allowed",
             "   [ok]   TermService is running",
             "   state: not installed",
             "5. Firewall rules for port 3389",
             "   firewall on in all profiles: NO",
             "   [info] rules are kept but not enforced",
             "   [on ] Remote Desktop - User Mode (TCP-In)",
             "   [PROBLEM] the firewall is off — rules have no effect,",
         }) {
        EXPECT_NE(diag.output.find(line), std::string::npos) << line << "\n" << diag.output;
    }
    EXPECT_EQ(diag.output.find("SUMMARY"), std::string::npos);
    // Only reads: no unit was touched.
    for (const std::string& call : systemd_.calls()) {
        EXPECT_TRUE(call.rfind("show ", 0) == 0 || call.rfind("is-enabled ", 0) == 0) << call;
    }
}

}  // namespace
}  // namespace vel
