#include "client/client_main.h"

#include <csignal>
#include <cstdio>

#include "client/client_commands.h"
#include "client/client_usage.h"

namespace vel::client {

int RunClient(const std::vector<std::string>& args, ClientEnvironment& environment) {
    // A gate that hangs up mid-request must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    ClientOptions options;
    std::string error;
    if (!ParseClientOptions(args, options, error)) {
        std::fprintf(stderr, "velmora-client: %s\n(run `velmora-client help` for the commands)\n",
                     error.c_str());
        return 2;
    }
    if (options.command == "enroll") return RunEnroll(options, environment);
    if (options.command == "connect") return RunConnect(options, environment);
    if (options.command == "revoke") return RunRevoke(options, environment);
    if (options.command == "hosts") return RunHosts(options, environment);
    if (options.command == "view") return RunView(options, environment);
    PrintClientUsage();
    return 0;
}

}  // namespace vel::client
