// velmora-client with a software security key instead of hidraw devices, for the integration
// tests. The key's state lives in the JSON file named by VELMORA_TEST_KEY, so one key serves a
// whole sequence of runs (enroll, then connect); without the variable no key is present.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/client_main.h"
#include "client/ctap_authenticator.h"
#include "client/known_hosts.h"
#include "client/pin_prompt.h"
#include "client/soft_key_source.h"
#include "os/files.h"
#include "core/json.h"

int main(int argc, char** argv) {
    const char* statePath = std::getenv("VELMORA_TEST_KEY");
    vel::test::CtapAuthenticator authenticator;
    vel::test::SoftKeySource devices;
    if (statePath != nullptr && statePath[0] != '\0') {
        std::string text;
        vel::JsonValue state;
        if (vel::ReadFileText(statePath, text) && !vel::JsonParse(text, state)) {
            std::fprintf(stderr, "softkey: %s is not JSON\n", statePath);
            return 3;
        }
        authenticator.load(state);
        devices.attach(std::string("softkey:") + statePath, authenticator);
    }
    const std::unique_ptr<vel::client::PinPrompt> pins = vel::client::NewTerminalPinPrompt();
    vel::client::ClientEnvironment environment{devices, *pins,
                                               vel::client::DefaultKnownHostsPath()};
    const int exitCode =
        vel::client::RunClient(std::vector<std::string>(argv + 1, argv + argc), environment);
    if (statePath != nullptr && statePath[0] != '\0' &&
        !vel::WriteFileAtomic(statePath, vel::JsonDump(authenticator.save(), 2))) {
        std::fprintf(stderr, "softkey: cannot save %s\n", statePath);
        return 3;
    }
    return exitCode;
}
