#pragma once

#include <string>
#include <vector>

#include "client/client_environment.h"

namespace vel::client {

// Runs one command line (without the program name); the process exit code: 0 done, 1 failed,
// 2 the command line was wrong.
int RunClient(const std::vector<std::string>& args, ClientEnvironment& environment);

}  // namespace vel::client
