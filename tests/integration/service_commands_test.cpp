// stop, setup and uninstall as an administrator runs them: the real binary over a stand-in
// systemd whose "start" really runs the gate.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "gate/gate_store.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/service_control.h"
#include "support/firewall_rules.h"
#include "support/gate_requests.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"

namespace vel {

using firewall::kBuiltInRemoteDesktopRuleName;
using firewall::kServiceRuleName;

namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kUnshare = "/usr/bin/unshare";

// A network namespace of the test's own, removed when the object ends.
class TestNamespace {
  public:
    TestNamespace() : name_("velsetup-" + std::to_string(::getpid())) {
        created_ = test::RunProcess({kIp, "netns", "add", name_}).exitCode == 0;
    }
    ~TestNamespace() {
        if (created_) test::RunProcess({kIp, "netns", "del", name_});
    }
    TestNamespace(const TestNamespace&) = delete;
    TestNamespace& operator=(const TestNamespace&) = delete;

    bool created() const { return created_; }
    // The command line that runs args inside the namespace.
    std::vector<std::string> inside(const std::vector<std::string>& args) const {
        std::vector<std::string> line{kIp, "netns", "exec", name_};
        line.insert(line.end(), args.begin(), args.end());
        return line;
    }

  private:
    std::string name_;
    bool created_ = false;
};

class ServiceCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "stop, setup and uninstall need root";
        if (!FileExists(kIp) || !FileExists(kUnshare)) GTEST_SKIP() << "ip or unshare missing";
        ASSERT_TRUE(EnsureDirectory(dataDirectory()));
    }

    std::string dataDirectory() const { return JoinPath(data_.path(), "Velmora"); }
    std::vector<std::string> environment() const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + data_.path());
        env.push_back("INVOCATION_ID=");
        return env;
    }
    test::ProcessResult velmora(const std::vector<std::string>& args) const {
        std::vector<std::string> line{test::VelmoraBinary()};
        line.insert(line.end(), args.begin(), args.end());
        return test::RunProcess(line, environment());
    }
    test::ProcessResult systemctl(const std::vector<std::string>& args) const {
        std::vector<std::string> line{"/usr/bin/env", "systemctl"};
        line.insert(line.end(), args.begin(), args.end());
        return test::RunProcess(line, environment());
    }
    // The gate's unit as setup writes it, but the gate runs in a network namespace of its own so
    // that it can neither meet another listener nor reach the machine's firewall.
    void installAndStart() {
        ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(),
                                    std::string("[Service]\nType=notify\nExecStart=\"") + kUnshare +
                                        "\" -n \"" + test::VelmoraBinary() + "\" --service\n"));
        ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
        ASSERT_GT(systemd_.mainPid(), 0) << systemd_.serviceOutput();
    }
    void enrollKey() {
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(JoinPath(dataDirectory(), "gate.json"), error)) << error;
        ASSERT_TRUE(store.addCredential(test::PlaceholderCredential(), error)) << error;
    }

    test::TempDir data_;
    test::StandInSystemd systemd_;
};

TEST_F(ServiceCommandsTest, StopEndsARunningServiceAndItsRestartOnFailure) {
    installAndStart();
    const auto stopped = velmora({"stop"});
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.output, "Removing auto-restart\nNormal stop\nState: stopped\n");
    EXPECT_EQ(systemd_.mainPid(), 0);
    std::string dropIn;
    ASSERT_TRUE(
        ReadFileText(JoinPath(systemd_.unitDirectory(), "velmora.service.d/restart.conf"), dropIn));
    EXPECT_EQ(dropIn, "[Service]\nRestart=no\n");

    // Stopping a stopped service is not an error.
    const auto again = velmora({"stop"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, "Removing auto-restart\nNormal stop\nState: stopped\n");
}

TEST_F(ServiceCommandsTest, StopKillsAServiceThatWillNotStop) {
    installAndStart();
    const int pid = systemd_.mainPid();
    systemd_.setFlag("velmora.service", "stop-hangs", true);
    const auto stopped = velmora({"stop"});
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.output,
              "Removing auto-restart\n"
              "Normal stop\n"
              "Did not stop, killing the process\n"
              "State: stopped\n");
    EXPECT_EQ(systemd_.mainPid(), 0);
    // Gone, or a zombie waiting for a parent that does not reap.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (std::getline(stat, line)) {
        EXPECT_NE(line.find(") Z "), std::string::npos) << line;
    }
}

TEST_F(ServiceCommandsTest, StopWithoutAServiceOrWithoutSystemd) {
    const auto absent = velmora({"stop"});
    EXPECT_EQ(absent.exitCode, 0);
    EXPECT_EQ(absent.output, "Removing auto-restart\nNormal stop\nState: not installed\n");

    systemd_.setFlag("", "unreachable", true);
    const auto unreachable = velmora({"stop"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_EQ(unreachable.output,
              "Removing auto-restart\n"
              "Normal stop\n"
              "State: unknown\n");
}

TEST_F(ServiceCommandsTest, SetupStartsTheGateAndUninstallRemovesItKeepingThePortClosed) {
    TestNamespace net;
    if (!net.created()) GTEST_SKIP() << "cannot create a network namespace";
    systemd_.addUnit("xrdp.service", false, false);
    enrollKey();
    const std::string resultPath = data_.file("result.txt");

    const auto setup = test::RunProcess(
        net.inside({test::VelmoraBinary(), "setup", "--grant", "5", "--code-file", resultPath}),
        environment());
    ASSERT_EQ(setup.exitCode, 0) << setup.output;
    EXPECT_NE(setup.output.find("      allow rules disabled: 1\n"), std::string::npos);
    EXPECT_NE(setup.output.find("      nftables enforcement is on (table inet velmora)\n"),
              std::string::npos)
        << setup.output;
    EXPECT_NE(setup.output.find("\n Setup complete.\n"), std::string::npos);
    std::string unit;
    ASSERT_TRUE(ReadFileText(systemd_.unitPath(), unit));
    EXPECT_NE(unit.find("ExecStart=\"" + test::VelmoraBinary() + "\" --service\n"),
              std::string::npos);
    EXPECT_GT(systemd_.mainPid(), 0) << systemd_.serviceOutput();
    EXPECT_TRUE(systemd_.hasFlag("velmora.service", "enabled"));
    EXPECT_TRUE(systemd_.hasFlag("xrdp.service", "enabled"));
    EXPECT_TRUE(systemd_.hasFlag(kFirewallUnit, "enabled"));
    const std::string bootUnit = JoinPath(systemd_.unitDirectory(), kFirewallUnit);
    ASSERT_TRUE(ReadFileText(bootUnit, unit));
    EXPECT_NE(unit.find("ExecStart=\"" + test::VelmoraBinary() + "\" --apply-firewall\n"),
              std::string::npos);
    std::string result;
    ASSERT_TRUE(ReadFileText(resultPath, result));
    EXPECT_EQ(result.rfind("code=", 0), 0u);
    EXPECT_EQ(result.find('\n'), 19u) << result;  // a 14-character code
    EXPECT_NE(result.find("\nerror=\n"), std::string::npos);
    EXPECT_NE(result.find("\ngrant=15\nkeys=1\n"), std::string::npos) << result;
    const std::vector<std::string> listTable =
        net.inside({"/usr/sbin/nft", "list", "table", "inet", "velmora"});
    EXPECT_EQ(test::RunProcess(listTable).exitCode, 0);

    const auto uninstall =
        test::RunProcess(net.inside({test::VelmoraBinary(), "uninstall"}), environment());
    ASSERT_EQ(uninstall.exitCode, 0) << uninstall.output;
    EXPECT_EQ(uninstall.output,
              "Stopping and removing the service\n"
              "Removing firewall rules created by the gate\n"
              "Removing the certificate binding\n"
              "\n"
              "The RDP port stays closed until the next boot: the allow rules are disabled and\n"
              "the kernel keeps the table inet velmora. velmora-firewall.service is removed, so\n"
              "the port reopens at the next boot unless the rules are kept, for instance with\n"
              "  nft list table inet velmora >> /etc/nftables.conf\n"
              "To restore ordinary RDP access now:  Velmora.exe unlock\n");
    EXPECT_FALSE(FileExists(systemd_.unitPath()));
    EXPECT_FALSE(FileExists(bootUnit));
    EXPECT_EQ(systemd_.mainPid(), 0);
    EXPECT_FALSE(systemd_.hasFlag("velmora.service", "enabled"));

    firewall::FileFirewallStore store(dataDirectory());
    std::vector<firewall::FirewallRule> rules;
    std::string error;
    ASSERT_TRUE(store.rules(rules, error)) << error;
    EXPECT_EQ(test::FindRule(rules, firewall::kServiceRuleName), nullptr);
    const firewall::FirewallRule* rdp =
        test::FindRule(rules, firewall::kBuiltInRemoteDesktopRuleName);
    ASSERT_NE(rdp, nullptr);
    EXPECT_FALSE(rdp->enabled);
    // The kernel still holds the projection that keeps the port closed.
    const auto table = test::RunProcess(listTable);
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.output.find("3389"), std::string::npos) << table.output;

    // A reboot empties the kernel; the boot role puts the stored rules back with no gate running.
    ASSERT_EQ(test::RunProcess(net.inside({"/usr/sbin/nft", "flush", "ruleset"})).exitCode, 0);
    EXPECT_NE(test::RunProcess(listTable).exitCode, 0);
    const auto boot =
        test::RunProcess(net.inside({test::VelmoraBinary(), "--apply-firewall"}), environment());
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(test::RunProcess(listTable).output.find("3389"), std::string::npos);
}

}  // namespace
}  // namespace vel
