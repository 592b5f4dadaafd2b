#include "app/command_table.h"

#include <vector>

#include "core/log.h"

namespace vel {

std::span<const Command> CommandTable() {
    // In the order of comparison; each command joins the table as it is built.
    static const std::vector<Command> kCommands = {};
    return kCommands;
}

int RunDefaultCommand() { return 0; }

int RunServiceHost() {
    Log(LogLevel::Error, "the service host is not part of this build");
    return 1;
}

}  // namespace vel
