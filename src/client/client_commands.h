#pragma once

#include "client/client_environment.h"
#include "client/client_options.h"

namespace vel::client {

// The commands of velmora-client; each returns the process exit code and prints its own outcome.
int RunEnroll(const ClientOptions& options, ClientEnvironment& environment);
int RunConnect(const ClientOptions& options, ClientEnvironment& environment);
int RunRevoke(const ClientOptions& options, ClientEnvironment& environment);
int RunHosts(const ClientOptions& options, ClientEnvironment& environment);
int RunView(const ClientOptions& options, ClientEnvironment& environment);
// view HOST[:PORT]: signs in with the key, opens a stream through the gate and shows it.
int RunGateView(const ClientOptions& options, ClientEnvironment& environment);

}  // namespace vel::client
