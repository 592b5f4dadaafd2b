#include <memory>
#include <string>
#include <vector>

#include "client/client_main.h"
#include "client/known_hosts.h"
#include "client/pin_prompt.h"
#include "client/security_key.h"

int main(int argc, char** argv) {
    const std::unique_ptr<vel::client::DeviceSource> devices = vel::client::NewHidDeviceSource();
    const std::unique_ptr<vel::client::PinPrompt> pins = vel::client::NewTerminalPinPrompt();
    vel::client::ClientEnvironment environment{*devices, *pins,
                                               vel::client::DefaultKnownHostsPath()};
    return vel::client::RunClient(std::vector<std::string>(argv + 1, argv + argc), environment);
}
