#pragma once

#include <string>
#include <vector>

namespace vel::client {

// The command line of velmora-client, checked against what each command takes.
struct ClientOptions {
    std::string command;  // "enroll", "connect", "revoke", "hosts" or "help"
    std::vector<std::string> operands;
    std::string label;
    std::string device;
    std::string fingerprint;
    std::string rdpCommand;
    bool acceptNewCertificate = false;
    bool noRdp = false;
};

// args excludes the program name. False with a sentence naming the offending word.
[[nodiscard]] bool ParseClientOptions(const std::vector<std::string>& args, ClientOptions& out,
                                      std::string& error);

}  // namespace vel::client
