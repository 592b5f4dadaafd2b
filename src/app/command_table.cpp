#include "app/command_table.h"

#include <vector>

#include "app/gate_roles.h"
#include "app/recovery_roles.h"

namespace vel {

std::span<const Command> CommandTable() {
    // In the order of comparison; each command joins the table as it is built.
    static const std::vector<Command> kCommands = {
        {"run", CmdRun},
        {"unlock", CmdUnlock},
        {"diag", CmdDiag},
        {"arm", CmdArm},
    };
    return kCommands;
}

int RunDefaultCommand() {
    return 0;
}

}  // namespace vel
