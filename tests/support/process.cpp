#include "support/process.h"

#include <cstdlib>
#include <stdexcept>

#include "os/child_process.h"

extern char** environ;

namespace vel::test {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, const std::string& input) {
    // env(1) adds the extra entries to the inherited environment before it runs the program.
    std::vector<std::string> command{"/usr/bin/env"};
    command.insert(command.end(), extraEnv.begin(), extraEnv.end());
    command.insert(command.end(), argv.begin(), argv.end());
    const ChildResult result = RunChild(command, input);
    if (!result.started) throw std::runtime_error("cannot run /usr/bin/env");
    return {result.exitCode, result.output};
}

std::string VelmoraBinary() {
    const char* path = std::getenv("VELMORA_BINARY");
    return path != nullptr ? path : "";
}

}  // namespace vel::test
