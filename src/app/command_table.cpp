#include "app/command_table.h"

#include <vector>

#include "app/gate_roles.h"
#include "app/setup.h"

namespace vel {

std::span<const Command> CommandTable() {
    // In the order of comparison; each command joins the table as it is built.
    static const std::vector<Command> kCommands = {
        {"setup", CmdSetup},
        {"run", CmdRun},
        {"uninstall", CmdUninstall},
    };
    return kCommands;
}

int RunDefaultCommand() {
    return 0;
}

}  // namespace vel
