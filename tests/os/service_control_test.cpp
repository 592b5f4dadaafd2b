#include "os/service_control.h"

#include <gtest/gtest.h>

#include "os/files.h"
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
    test::TempDir dir_;
    FakeSystemctl systemctl_;
    ServiceControl control_;
};

// The unit file and what setup, uninstall, unlock and arm make of these operations are tested
// with them; here, the operations whose goal already holds and the failures they must report.
TEST_F(ServiceControlTest, GoalsThatAlreadyHoldSucceedAndFailuresAreReported) {
    std::string error;
    EXPECT_TRUE(control_.disableRestartOnFailure(error));  // nothing installed
    EXPECT_TRUE(control_.stopService(error));
    EXPECT_FALSE(control_.ensureTermServiceRunning(error));
    EXPECT_EQ(error, "failed to open xrdp.service: the unit is not installed");
    systemctl_.units["xrdp.service"] = {.afterStart = "activating"};
    EXPECT_FALSE(control_.ensureTermServiceRunning(error));
    EXPECT_EQ(error, "xrdp.service did not reach the 'running' state");

    ASSERT_TRUE(control_.installService("/opt/velmora/velmora", error));
    systemctl_.units["velmora.service"] = {.active = "active"};
    EXPECT_TRUE(control_.startService(error));  // already running
    EXPECT_TRUE(control_.stopService(error));
    EXPECT_TRUE(control_.stopService(error));  // already stopped

    // Without systemd nothing is started or half removed.
    systemctl_.reachable = false;
    EXPECT_FALSE(control_.startService(error));
    EXPECT_FALSE(control_.deleteService(error));
    EXPECT_TRUE(FileExists(control_.unitPath()));
}

}  // namespace
}  // namespace vel
