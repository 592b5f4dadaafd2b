#include "app/command_table.h"

#include <vector>

#include "app/gate_roles.h"
#include "app/update_apply_command.h"

namespace vel {

std::span<const Command> CommandTable() {
    // In the order of comparison; each command joins the table as it is built.
    static const std::vector<Command> kCommands = {
        {"run", CmdRun},
        {"update-apply", CmdUpdateApply},
    };
    return kCommands;
}

int RunDefaultCommand() {
    return 0;
}

}  // namespace vel
