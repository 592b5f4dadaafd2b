#pragma once

#include <string>

#include "os/child_spawner.h"
#include "os/graphical_session.h"

namespace vel::gate {

// What of the gate's own environment an agent may inherit.
struct GateEnvironment {
    std::string display;
    std::string xauthority;
    std::string home;
    std::string runtimeDirectory;  // XDG_RUNTIME_DIR
    std::string pulseServer;
    std::string programData;
    std::string debug;  // VELMORA_DEBUG
    std::string path;
    bool root = false;  // effective uid 0

    static GateEnvironment current();
};

// How `<executable> stream serve` is started: in the active graphical session, with its DISPLAY
// and XAUTHORITY; as the session's user when the gate is root (through the spawner's user
// switch); else with the gate's own display, or none with a warning. parameters becomes the
// child's input.
ChildLaunch PlanAgentLaunch(const std::string& executable, std::string parameters,
                          SessionLocator& sessions, const GateEnvironment& own);

}  // namespace vel::gate
