#include "os/service_control.h"

#include <gtest/gtest.h>


#include "os/files.h"
#include "os/paths.h"
#include "support/fake_systemctl.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

using test::FakeSystemctl;

class ServiceControlTest : public ::testing::Test {
  protected:
    ServiceControlTest() : control_(systemctl_, ServiceControlOptions{dir_.path(), 1}) {
        systemctl_.unitDirectory = dir_.path();
    }
    std::string read(const std::string& path) {
        std::string text;
        static_cast<void>(ReadFileText(path, text));
        return text;
    }
    test::TempDir dir_;
    FakeSystemctl systemctl_;
    ServiceControl control_;
};

TEST_F(ServiceControlTest, InstallWritesANotifyUnitAndKeepsAChangedRestartSetting) {
    std::string error;
    ASSERT_TRUE(control_.installService("/opt/velmora/velmora", error)) << error;
    const std::string unit = read(control_.unitPath());
    EXPECT_NE(unit.find(std::string("Description=") + kServiceDescription + "\n"),
              std::string::npos);
    EXPECT_NE(unit.find("ExecStart=\"/opt/velmora/velmora\" --service\n"), std::string::npos);
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
    EXPECT_EQ(systemctl_.calls,
              (std::vector<std::string>{"daemon-reload", "enable --quiet velmora.service"}));

    ASSERT_TRUE(control_.disableRestartOnFailure(error)) << error;
    EXPECT_EQ(read(control_.restartDropInPath()), "[Service]\nRestart=no\n");

    ASSERT_TRUE(control_.installService("/usr/local/bin/velmora", error));
    EXPECT_NE(read(control_.unitPath()).find("ExecStart=\"/usr/local/bin/velmora\" --service\n"),
              std::string::npos);
    EXPECT_TRUE(FileExists(control_.restartDropInPath()));

    ASSERT_TRUE(control_.enableRestartOnFailure(error));
    EXPECT_FALSE(FileExists(control_.restartDropInPath()));
}

TEST_F(ServiceControlTest, OperationsWhoseGoalAlreadyHoldsSucceed) {
    std::string error;
    std::string state;
    EXPECT_TRUE(control_.disableRestartOnFailure(error));  // nothing installed
    EXPECT_TRUE(control_.stopService(error));
    ASSERT_TRUE(control_.queryServiceState(state, error));
    EXPECT_EQ(state, "not installed");
    EXPECT_FALSE(control_.deleteService(error));

    systemctl_.units["velmora.service"] = {.active = "active"};
    EXPECT_TRUE(control_.startService(error));  // already running
    EXPECT_TRUE(control_.stopService(error));
    ASSERT_TRUE(control_.queryServiceState(state, error));
    EXPECT_EQ(state, "stopped");
    EXPECT_TRUE(control_.stopService(error));  // already stopped
}

TEST_F(ServiceControlTest, StartReportsAServiceThatDiesAtOnce) {
    // A start that systemd reports as failed is the arm test's; here systemd says it started.
    systemctl_.units["velmora.service"] = {.afterStart = "failed"};
    std::string error;
    EXPECT_FALSE(control_.startService(error));
    EXPECT_EQ(error, "the service stopped immediately after starting; check the gate log");

    systemctl_.units.clear();
    EXPECT_FALSE(control_.startService(error));
    EXPECT_EQ(error, "systemctl start failed: Unit velmora.service not found.");
}

TEST_F(ServiceControlTest, AnUnreachableSystemdLeavesTheStateUnknown) {
    std::string state;
    EXPECT_TRUE(control_.termServiceState(state));
    EXPECT_EQ(state, "not installed");

    systemctl_.reachable = false;
    std::string error;
    EXPECT_FALSE(control_.queryServiceState(state, error));
    EXPECT_EQ(error.rfind("systemctl show failed: System has not been booted", 0), 0u) << error;
    EXPECT_FALSE(control_.termServiceState(state));
    EXPECT_EQ(state, "unknown");
}

TEST_F(ServiceControlTest, RemoteDesktopUnitIsStartedAndEnabledOnRequest) {
    std::string error;
    EXPECT_FALSE(control_.ensureTermServiceRunning(error));
    EXPECT_EQ(error, "failed to open xrdp.service: the unit is not installed");

    systemctl_.units["xrdp.service"] = {};
    EXPECT_FALSE(control_.termServiceEnabled());
    ASSERT_TRUE(control_.enableTermService(error));
    EXPECT_TRUE(control_.termServiceEnabled());
    ASSERT_TRUE(control_.ensureTermServiceRunning(error)) << error;
    std::string state;
    EXPECT_TRUE(control_.termServiceState(state));
    EXPECT_EQ(state, "running");

    systemctl_.units["xrdp.service"] = {.afterStart = "activating"};
    EXPECT_FALSE(control_.ensureTermServiceRunning(error));
    EXPECT_EQ(error, "xrdp.service did not reach the 'running' state");
}

TEST_F(ServiceControlTest, WithoutSystemdNothingIsStartedOrHalfRemoved) {
    std::string error;
    ASSERT_TRUE(control_.installService("/opt/velmora/velmora", error));
    systemctl_.reachable = false;
    EXPECT_FALSE(control_.startService(error));
    EXPECT_EQ(error.rfind("systemctl start failed: System has not been booted", 0), 0u) << error;
    EXPECT_FALSE(control_.deleteService(error));
    EXPECT_EQ(error.rfind("systemctl show failed: System has not been booted", 0), 0u) << error;
    EXPECT_TRUE(FileExists(control_.unitPath()));
    EXPECT_EQ(systemctl_.calls.back(),
              "show velmora.service --property=LoadState,ActiveState,MainPID");
}

}  // namespace
}  // namespace vel
