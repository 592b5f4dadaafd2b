#pragma once

#include <string>

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

}  // namespace vel::client
