#include "gate/agent_launch.h"

#include <unistd.h>

#include <cstdlib>

#include "os/log.h"
#include "os/paths.h"

namespace vel::gate {

namespace {

constexpr const char* kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

void add(std::vector<std::string>& environment, const char* name, const std::string& value) {
    if (!value.empty()) environment.push_back(std::string(name) + "=" + value);
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

GateEnvironment GateEnvironment::current() {
    GateEnvironment own;
    own.display = variable("DISPLAY");
    own.xauthority = variable("XAUTHORITY");
    own.home = variable("HOME");
    own.runtimeDirectory = variable("XDG_RUNTIME_DIR");
    own.pulseServer = variable("PULSE_SERVER");
    own.programData = variable("PROGRAMDATA");
    own.debug = variable("VELMORA_DEBUG");
    own.path = variable("PATH");
    own.root = ::geteuid() == 0;
    return own;
}

ChildLaunch PlanAgentLaunch(const std::string& executable, std::string parameters,
                          SessionLocator& sessions, const GateEnvironment& own) {
    ChildLaunch launch;
    launch.argv = {executable, "stream", "serve"};
    launch.workingDirectory = directoryOf(executable);
    launch.input = std::move(parameters);
    std::vector<std::string>& env = launch.environment;
    add(env, "PATH", own.path.empty() ? kDefaultPath : own.path);
    add(env, "VELMORA_DEBUG", own.debug);

    GraphicalSession session;
    const bool found = sessions.activeGraphicalSession(session);
    if (found && own.root && session.uid != 0) {
        // The agent runs as the desktop's user: it reaches that user's display and sound server
        // as any of the user's programs does, and a fault in it gains nothing beyond the user.
        launch.user = ChildUser{session.uid, session.gid};
        add(env, "DISPLAY", session.display);
        add(env, "XAUTHORITY", session.xauthority);
        add(env, "HOME", session.home);
        add(env, "USER", session.user);
        add(env, "LOGNAME", session.user);
        add(env, "XDG_RUNTIME_DIR", session.runtimeDirectory);
        // The gate's data directory is root's alone; the agent keeps its log where its user can
        // write.
        add(env, "PROGRAMDATA",
            session.runtimeDirectory.empty() ? session.home : session.runtimeDirectory);
        Log(LogLevel::Debug, "stream agent: session %s of %s on display %s", session.id.c_str(),
            session.user.c_str(), session.display.c_str());
        return launch;
    }
    if (found) {
        add(env, "DISPLAY", session.display);
        add(env, "XAUTHORITY", session.xauthority);
    } else {
        if (own.display.empty()) {
            Log(LogLevel::Warn,
                "no interactive session is active; the agent starts in session 0 and will find no "
                "desktop until someone logs in at the console");
        }
        add(env, "DISPLAY", own.display);
        add(env, "XAUTHORITY", own.xauthority);
    }
    add(env, "HOME", own.home);
    add(env, "XDG_RUNTIME_DIR", own.runtimeDirectory);
    add(env, "PULSE_SERVER", own.pulseServer);
    add(env, "PROGRAMDATA", own.programData);
    return launch;
}

}  // namespace vel::gate
