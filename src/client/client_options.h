#pragma once

#include <string>
#include <vector>

namespace vel::client {

// The command line of velmora-client, checked against what each command takes.
struct ClientOptions {
    std::string command;  // "enroll", "connect", "revoke", "hosts", "view" or "help"
    std::vector<std::string> operands;
    std::string label;
    std::string device;
    std::string fingerprint;
    std::string rdpCommand;
    bool acceptNewCertificate = false;
    bool noRdp = false;
    // view: the words as given; view_settings checks them.
    std::string psk;
    std::string listen;
    std::string dial;
    std::string frames;
    std::string out;
    std::string type;
    std::vector<std::string> clicks;
    std::string screen;
    std::string bias;
    std::string audioOut;
    std::string timeout;
    std::string emulate;
    bool headless = false;
    bool fullscreen = false;
    bool manual = false;
    bool software = false;
};

// args excludes the program name. False with a sentence naming the offending word.
[[nodiscard]] bool ParseClientOptions(const std::vector<std::string>& args, ClientOptions& out,
                                      std::string& error);

}  // namespace vel::client
