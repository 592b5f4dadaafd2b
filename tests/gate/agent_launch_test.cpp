#include "gate/agent_launch.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "os/log.h"
#include "support/temp_dir.h"
#include "os/files.h"

namespace vel::gate {
namespace {

class OneSession final : public SessionLocator {
  public:
    bool activeGraphicalSession(GraphicalSession& out) override {
        if (!active) return false;
        out = {"c2", "alice", 1000, 1000, "/home/alice", ":10", "/home/alice/.Xauthority",
               "/run/user/1000"};
        return true;
    }
    bool active = true;
};

bool has(const ChildSpec& spec, const std::string& entry) {
    return std::find(spec.environment.begin(), spec.environment.end(), entry) !=
           spec.environment.end();
}

bool mentions(const ChildSpec& spec, const std::string& name) {
    return std::any_of(spec.environment.begin(), spec.environment.end(),
                       [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
}

TEST(AgentLaunch, TheAgentJoinsTheActiveDesktopAsItsUserWhenTheGateIsRoot) {
    OneSession sessions;
    GateEnvironment own;
    own.root = true;
    own.display = ":0";
    own.programData = "/srv/gate";
    own.pulseServer = "unix:/tmp/pulse";
    const ChildSpec spec = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    EXPECT_EQ(spec.argv, (std::vector<std::string>{"/opt/velmora/velmora", "stream", "serve"}));
    EXPECT_EQ(spec.workingDirectory, "/opt/velmora");
    EXPECT_EQ(spec.input, "{}");
    ASSERT_TRUE(spec.user.has_value());
    EXPECT_EQ(spec.user->uid, 1000u);
    EXPECT_TRUE(has(spec, "DISPLAY=:10"));
    EXPECT_TRUE(has(spec, "XAUTHORITY=/home/alice/.Xauthority"));
    EXPECT_TRUE(has(spec, "HOME=/home/alice"));
    EXPECT_TRUE(has(spec, "XDG_RUNTIME_DIR=/run/user/1000"));
    // Nothing of root's own places follows the agent into the user's hands.
    EXPECT_TRUE(has(spec, "PROGRAMDATA=/run/user/1000"));
    EXPECT_FALSE(mentions(spec, "PULSE_SERVER"));

    // Not root: the gate's own user stays, with the session's display.
    own.root = false;
    const ChildSpec unprivileged = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    EXPECT_FALSE(unprivileged.user.has_value());
    EXPECT_TRUE(has(unprivileged, "DISPLAY=:10"));
    EXPECT_TRUE(has(unprivileged, "PROGRAMDATA=/srv/gate"));
}

TEST(AgentLaunch, WithoutASessionTheGatesOwnDisplayServesAndWithoutThatAWarningIsLogged) {
    test::TempDir dir;
    InitLog(dir.path(), "gate");
    OneSession sessions;
    sessions.active = false;
    GateEnvironment own;
    own.root = true;
    own.display = ":0";
    own.xauthority = "/root/.Xauthority";
    const ChildSpec spec = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    EXPECT_FALSE(spec.user.has_value());
    EXPECT_TRUE(has(spec, "DISPLAY=:0"));
    EXPECT_TRUE(has(spec, "XAUTHORITY=/root/.Xauthority"));

    own.display.clear();
    const ChildSpec headless = PlanAgentLaunch("/opt/velmora/velmora", "{}", sessions, own);
    EXPECT_FALSE(mentions(headless, "DISPLAY"));
    std::string log;
    ASSERT_TRUE(ReadFileText(dir.file("gate.log"), log));
    EXPECT_NE(log.find("no interactive session is active; the agent starts in session 0"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("[WARN ]"), log.rfind("[WARN ]"));  // only the headless start warned
}

}  // namespace
}  // namespace vel::gate
