#include "app/command_table.h"

#include <vector>

#include "admin/admin_commands.h"
#include "admin/setup.h"
#include "app/gate_roles.h"
#include "app/recovery_roles.h"
#include "app/selftest_command.h"
#include "app/update_apply_command.h"
#include "os/console.h"

namespace vel::app {

namespace {

int cmdCode(int argc, char** argv) {
    return admin::CmdCode(argc, argv, WriteConsoleLine);
}
int cmdCheckCode(int argc, char** argv) {
    return admin::CmdCheckCode(argc, argv, WriteConsoleLine);
}
int cmdKeys(int argc, char** argv) {
    return admin::CmdKeys(argc, argv, WriteConsoleLine);
}
int cmdRemoveKey(int argc, char** argv) {
    return admin::CmdRemoveKey(argc, argv, WriteConsoleLine);
}
int cmdHarden(int argc, char** argv) {
    return admin::CmdHarden(argc, argv, WriteConsoleLine);
}
int cmdGeo(int argc, char** argv) {
    return admin::CmdGeo(argc, argv, WriteConsoleLine);
}
int cmdGeoipImport(int argc, char** argv) {
    return admin::CmdGeoipImport(argc, argv, WriteConsoleLine);
}

int cmdStatus(int argc, char** argv) {
    const auto systemctl = MakeSystemctl();
    return admin::CmdStatus(argc, argv, WriteConsoleLine, *systemctl);
}

int cmdStop(int argc, char** argv) {
    const auto systemctl = MakeSystemctl();
    return admin::CmdStop(argc, argv, WriteConsoleLine, *systemctl);
}

}  // namespace

std::span<const Command> CommandTable() {
    // In the order of comparison; each command joins the table as it is built.
    static const std::vector<Command> kCommands = {
        {"setup", admin::CmdSetup},
        {"code", cmdCode},
        {"status", cmdStatus},
        {"keys", cmdKeys},
        {"remove-key", cmdRemoveKey},
        {"harden", cmdHarden},
        {"geo", cmdGeo},
        {"geoip-import", cmdGeoipImport},
        {"run", CmdRun},
        {"unlock", CmdUnlock},
        {"diag", CmdDiag},
        {"arm", CmdArm},
        {"check-code", cmdCheckCode},
        {"update-apply", CmdUpdateApply},
        {"stop", cmdStop},
        {"selftest", CmdGateSelftest},
        {"uninstall", admin::CmdUninstall},
    };
    return kCommands;
}

int RunDefaultCommand() {
    char program[] = "velmora";
    char command[] = "status";
    char* argv[] = {program, command, nullptr};
    return cmdStatus(2, argv);
}

}  // namespace vel::app
