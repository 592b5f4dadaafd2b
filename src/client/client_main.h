#pragma once

#include <string>
#include <vector>

#include "client/pin_prompt.h"
#include "client/security_key.h"

namespace vel::client {

// What the commands use from outside: where keys come from, who types the PIN, where the saved
// gates live. velmora-client fills it with the real ones.
struct ClientEnvironment {
    DeviceSource& devices;
    PinPrompt& pins;
    std::string hostsPath;
};

// Runs one command line (without the program name); the process exit code: 0 done, 1 failed,
// 2 the command line was wrong.
int RunClient(const std::vector<std::string>& args, ClientEnvironment& environment);

}  // namespace vel::client
