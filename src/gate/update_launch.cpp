#include "gate/update_launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "os/child_process.h"
#include "os/system_error.h"

extern char** environ;

namespace vel::gate {

namespace {

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// A unit's processes carry INVOCATION_ID; /run/systemd/system exists only while systemd is the
// init system (sd_booted), so a variable inherited into a machine without systemd does not count.
bool runningUnderSystemd() {
    const char* id = std::getenv("INVOCATION_ID");
    return id != nullptr && *id != '\0' && ::access("/run/systemd/system", F_OK) == 0;
}

// Stopping a unit ends every process in its control group, whatever its session, so under
// systemd the installer gets a transient unit of its own. The unit starts with systemd's clean
// environment; the variables that choose the data directory and the unit files go with it.
bool launchAsTransientUnit(const std::string& stagedPath, std::string& error) {
    std::vector<std::string> argv{"systemd-run", "--quiet", "--collect",
                                  "--description=Velmora update-apply"};
    for (const char* name : {"PROGRAMDATA", "VELMORA_SYSTEMD_UNIT_DIR", "VELMORA_DEBUG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            argv.push_back(std::string("--setenv=") + name + "=" + value);
    }
    argv.push_back(stagedPath);
    argv.push_back("update-apply");
    const ChildResult result = RunChild(argv);
    if (result.started && result.exitCode == 0) return true;
    std::string text = result.started ? result.output : "systemd-run could not be run";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    error = "systemd-run failed: " +
            (text.empty() ? "exit status " + std::to_string(result.exitCode) : text);
    return false;
}

// Outside systemd (the gate run from a console) a session of its own is enough: the console's
// Ctrl+C and hang-up do not reach another session.
bool spawnDetached(const std::string& stagedPath, std::string& error) {
    SpawnActions files;
    // Standard streams go nowhere; every other descriptor of the service is closed.
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&files.actions, fd, "/dev/null",
                                         fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&files.actions, 3);

    SpawnAttributes attributes;
    // A new session is also a new process group. The gate's signal handling (blocked stop
    // signals, handlers) is not the installer's.
    posix_spawnattr_setflags(&attributes.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes.attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes.attributes, &none);

    std::string program = stagedPath;
    std::string command = "update-apply";
    char* argv[] = {program.data(), command.data(), nullptr};
    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, program.c_str(), &files.actions, &attributes.attributes, argv, environ);
    if (result != 0) {
        error = "posix_spawn failed: " + SystemErrorText(result);
        return false;
    }
    // Reaped in the background so that a service that outlives the installer keeps no zombie.
    std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    return true;
}

}  // namespace

bool LaunchUpdateApply(const std::string& stagedPath, std::string& error) {
    return runningUnderSystemd() ? launchAsTransientUnit(stagedPath, error)
                                 : spawnDetached(stagedPath, error);
}

}  // namespace vel::gate
