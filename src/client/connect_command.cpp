#include <cstdio>
#include <ctime>

#include "client/client_commands.h"
#include "client/command_support.h"
#include "client/rdp_launcher.h"

namespace vel::client {

namespace {

std::string localClock(std::int64_t unixSeconds) {
    const std::time_t when = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&when, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

}  // namespace

int RunConnect(const ClientOptions& options, ClientEnvironment& environment) {
    std::string error;
    JsonValue granted;
    std::optional<GateConnection> gate =
        SignInWithKey(options, environment, false, "the port is open", granted, error);
    if (!gate) return Fail(error);
    const GateAddress& address = gate->address();

    const int rdpPort = static_cast<int>(granted.get("rdpPort").asInt());
    std::printf("port %d open for %s until %s\n", rdpPort,
                granted.get("clientIp").asString().c_str(),
                localClock(granted.get("expiresAt").asInt()).c_str());
    std::fflush(stdout);
    if (options.noRdp) return 0;
    RdpLaunch launch;
    if (!ChooseRdpClient(options.rdpCommand, address.host, static_cast<std::uint16_t>(rdpPort),
                         launch)) {
        return Fail(
            "no remote-desktop client found: install FreeRDP (xfreerdp) or name one with "
            "--rdp-command; connect to " +
            address.host + " port " + std::to_string(rdpPort) + " before the time above");
    }
    int exitCode = 0;
    if (!RunRdpClient(launch, exitCode, error)) return Fail(error);
    return exitCode;
}

}  // namespace vel::client
