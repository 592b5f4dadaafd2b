#include "app/entry.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/command_table.h"
#include "app/firewall_role.h"
#include "app/gate_roles.h"
#include "app/usage.h"
#include "core/version.h"
#include "host/stream_commands.h"
#include "os/console.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::app {

namespace {

int runStream(int argc, char** argv) {
    // The stream tools print through stdio; keep their output in order with the log.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    const bool serve = argc >= 3 && SameCommand(argv[2], "serve");
    InitLog(serve ? DataDirectory() : ExecutableDirectory(), "VelmoraHost");
    Log(LogLevel::Info, "VelmoraHost %s (build %s)", kProgramVersion, kBuildId);
    return host::runStreamCommand(argc, argv, &PrintStreamUsage);
}

// systemd marks every process it starts as a unit with INVOCATION_ID.
bool startedBySystemd() {
    const char* id = std::getenv("INVOCATION_ID");
    return id != nullptr && *id != '\0';
}

int runServiceRole() {
    if (!startedBySystemd()) {
        WriteConsoleLine("--service is started by the service control manager, not by hand.");
        WriteConsoleLine("For debugging use: Velmora.exe run");
        return 1;
    }
    return RunServiceRole();
}

bool isHelpWord(const char* word) {
    return SameCommand(word, "help") || SameCommand(word, "--help") || SameCommand(word, "/?");
}

}  // namespace

bool SameCommand(const char* typed, const char* command) {
    return std::strlen(typed) == std::strlen(command) && ::strcasecmp(typed, command) == 0;
}

int RunVelmora(int argc, char** argv) {
    if (argc >= 2 && SameCommand(argv[1], "stream")) return runStream(argc, argv);

    InitLog(DataDirectory(), "gate");

    if (argc < 2) {
        PrintUsage();
        WriteConsoleLine("");
        return RunDefaultCommand();
    }
    if (SameCommand(argv[1], "--service")) return runServiceRole();
    if (SameCommand(argv[1], "--apply-firewall")) return RunApplyFirewallRole();

    for (const Command& command : CommandTable()) {
        if (SameCommand(argv[1], command.name)) return command.handler(argc, argv);
    }
    if (isHelpWord(argv[1])) {
        PrintUsage();
        return 0;
    }
    WriteConsoleLine(std::string("Unknown command: ") + argv[1]);
    WriteConsoleLine("");
    PrintUsage();
    return 1;
}

}  // namespace vel::app
