#include "gate/agent_launch.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vel::gate {
namespace {

class OneSession final : public SessionLocator {
  public:
    bool activeGraphicalSession(GraphicalSession& out) override {
        out = {"c2",
               "alice",
               1000,
               1000,
               "/home/alice",
               ":10",
               "/home/alice/.Xauthority",
               "/run/user/1000"};
        return active;
    }
    bool active = true;
};

bool has(const ChildLaunch& launch, const std::string& entry) {
    return std::find(launch.environment.begin(), launch.environment.end(), entry) !=
           launch.environment.end();
}

TEST(AgentLaunch, TheAgentJoinsTheActiveDesktopAsItsUserWhenTheGateIsRoot) {
    OneSession sessions;
    GateEnvironment own{":0", "", "/root", "", "unix:/tmp/pulse", "/srv/gate", "", "", true};
    const ChildLaunch launch = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    ASSERT_TRUE(launch.user.has_value());
    EXPECT_EQ(launch.user->uid, 1000u);
    for (const char* entry :
         {"DISPLAY=:10", "XAUTHORITY=/home/alice/.Xauthority", "HOME=/home/alice",
          "XDG_RUNTIME_DIR=/run/user/1000", "PROGRAMDATA=/run/user/1000"}) {
        EXPECT_TRUE(has(launch, entry)) << entry;
    }
    // Nothing of root's own places follows the agent into the user's hands.
    EXPECT_FALSE(has(launch, "PULSE_SERVER=unix:/tmp/pulse") || has(launch, "HOME=/root"));

    own.root = false;  // the gate's own user stays, with the session's display
    const ChildLaunch unprivileged = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    EXPECT_FALSE(unprivileged.user.has_value());
    EXPECT_TRUE(has(unprivileged, "DISPLAY=:10") && has(unprivileged, "PROGRAMDATA=/srv/gate"));
}

}  // namespace
}  // namespace vel::gate
