#include "client/rdp_launcher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/system_error.h"

extern char** environ;

namespace vel::client {

namespace {

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        // An empty entry would mean the current folder, where nothing is run from.
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

}  // namespace

bool ChooseRdpClient(const std::string& command, const std::string& host, std::uint16_t port,
                     RdpLaunch& out) {
    const std::string shownHost = host.find(':') == std::string::npos ? host : "[" + host + "]";
    if (!command.empty()) {
        out.argv = {"/bin/sh", "-c", command};
        out.extraEnv = {"VELMORA_HOST=" + host, "VELMORA_RDP_PORT=" + std::to_string(port)};
        return true;
    }
    for (const char* name : {"xfreerdp", "xfreerdp3"}) {
        const std::string program = findOnPath(name);
        if (!program.empty()) {
            out.argv = {program, "/v:" + shownHost + ":" + std::to_string(port)};
            out.extraEnv.clear();
            return true;
        }
    }
    return false;
}

bool RunRdpClient(const RdpLaunch& launch, int& exitCode, std::string& error) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& extra : launch.extraEnv) {
            const std::size_t equals = extra.find('=');
            replaced = replaced || text.compare(0, equals + 1, extra, 0, equals + 1) == 0;
        }
        if (!replaced) env.push_back(text);
    }
    env.insert(env.end(), launch.extraEnv.begin(), launch.extraEnv.end());
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = launch.argv;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (rc != 0) {
        error = FailedText("starting " + launch.argv.front(), rc);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = FailedText("waitpid", errno);
            return false;
        }
    }
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

}  // namespace vel::client
