#include "gate/update_launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "core/system_error.h"

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

}  // namespace

bool LaunchUpdateApply(const std::string& stagedPath, std::string& error) {
    SpawnActions files;
    // Standard streams go nowhere; every other descriptor of the service is closed.
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&files.actions, fd, "/dev/null",
                                         fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&files.actions, 3);

    SpawnAttributes attributes;
    // A new session is also a new process group: the service's stop does not reach the installer.
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes.attributes, &all);

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

}  // namespace vel::gate
