#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::client {

// A remote-desktop client to run once the port is open.
struct RdpLaunch {
    std::vector<std::string> argv;
    std::vector<std::string> extraEnv;  // "NAME=value"
};

// With a command given (--rdp-command), that command run by /bin/sh with VELMORA_HOST and
// VELMORA_RDP_PORT in its environment; otherwise `xfreerdp /v:HOST:PORT` when FreeRDP is on PATH.
// False when neither is available.
[[nodiscard]] bool ChooseRdpClient(const std::string& command, const std::string& host,
                                   std::uint16_t port, RdpLaunch& out);

// Runs the client in the foreground and waits for it; its exit code, or false with the reason.
// The grant stays open while its connection lives, so the wait is the session.
[[nodiscard]] bool RunRdpClient(const RdpLaunch& launch, int& exitCode, std::string& error);

}  // namespace vel::client
