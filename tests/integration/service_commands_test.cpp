// stop, setup and uninstall as an administrator runs them: the real binary over a stand-in
// systemd whose "start" really runs the gate.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "gate/gate_store.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/firewall_rules.h"
#include "support/gate_requests.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kUnshare = "/usr/bin/unshare";

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
        ASSERT_EQ(store.addCredential(test::PlaceholderCredential(), error),
                  gate::AddCredentialResult::Added)
            << error;
    }

    test::TempDir data_;
    test::StandInSystemd systemd_;
};

TEST_F(ServiceCommandsTest, StopEndsTheServiceAndItsRestartOnFailureByForceIfNeeded) {
    installAndStart();
    const auto stopped = velmora({"stop"});
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.output, "Removing auto-restart\nNormal stop\nState: stopped\n");
    EXPECT_EQ(systemd_.mainPid(), 0);
    std::string dropIn;
    ASSERT_TRUE(
        ReadFileText(JoinPath(systemd_.unitDirectory(), "velmora.service.d/restart.conf"), dropIn));
    EXPECT_EQ(dropIn, "[Service]\nRestart=no\n");

    installAndStart();
    const int pid = systemd_.mainPid();
    systemd_.setFlag("velmora.service", "stop-hangs", true);
    const auto killed = velmora({"stop"});
    EXPECT_EQ(killed.exitCode, 0);
    EXPECT_NE(killed.output.find("Did not stop, killing the process\nState: stopped\n"),
              std::string::npos)
        << killed.output;
    EXPECT_EQ(systemd_.mainPid(), 0);
    // Gone, or a zombie waiting for a parent that does not reap.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    EXPECT_TRUE(!std::getline(stat, line) || line.find(") Z ") != std::string::npos) << line;
}

TEST_F(ServiceCommandsTest, StopWithoutAServiceOrWithoutSystemd) {
    const auto absent = velmora({"stop"});
    EXPECT_EQ(absent.exitCode, 0);
    EXPECT_NE(absent.output.find("State: not installed\n"), std::string::npos) << absent.output;

    systemd_.setFlag("", "unreachable", true);
    const auto unreachable = velmora({"stop"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_NE(unreachable.output.find("State: unknown\n"), std::string::npos) << unreachable.output;
    EXPECT_EQ(unreachable.output.find("systemctl stop failed"), std::string::npos);
}

TEST_F(ServiceCommandsTest, SetupStartsTheGateAndUninstallRemovesItKeepingThePortClosed) {
    test::TestNetwork net({});
    if (!net.createNamespaces()) GTEST_SKIP() << "cannot create a network namespace";
    systemd_.addUnit("xrdp.service", false, false);
    enrollKey();
    const auto setup = net.run(net.machine(), {test::VelmoraBinary(), "setup"}, environment());
    ASSERT_EQ(setup.exitCode, 0) << setup.output;
    EXPECT_GT(systemd_.mainPid(), 0) << systemd_.serviceOutput();
    const auto listTable = [&] {
        return net.run(net.machine(), {"/usr/sbin/nft", "list", "table", "inet", "velmora"});
    };
    EXPECT_EQ(listTable().exitCode, 0);

    // What setup and uninstall register and remove is the unit test's; here, what holds.
    const auto uninstall =
        net.run(net.machine(), {test::VelmoraBinary(), "uninstall"}, environment());
    ASSERT_EQ(uninstall.exitCode, 0) << uninstall.output;
    EXPECT_EQ(systemd_.mainPid(), 0);
    // The kernel still holds the projection that keeps the port closed.
    const auto table = listTable();
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.output.find("3389"), std::string::npos) << table.output;

    // A reboot empties the kernel; the boot role puts the stored rules back with no gate running.
    ASSERT_EQ(net.run(net.machine(), {"/usr/sbin/nft", "flush", "ruleset"}).exitCode, 0);
    EXPECT_NE(listTable().exitCode, 0);
    const auto boot =
        net.run(net.machine(), {test::VelmoraBinary(), "--apply-firewall"}, environment());
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(listTable().output.find("3389"), std::string::npos);
}

}  // namespace
}  // namespace vel
