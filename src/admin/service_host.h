#pragma once

#include <string>

namespace vel::admin {

// The running gate as its host sees it.
class HostedService {
  public:
    virtual ~HostedService() = default;
    [[nodiscard]] virtual bool startup(std::string& error) = 0;
    // Blocks until requestStop has been called.
    virtual void waitForStop() = 0;
    virtual void requestStop() = 0;
    virtual void stop() = 0;
};

// Runs the service under systemd: readiness and stopping are reported over the notify socket,
// SIGTERM asks for the stop, and shutdown gets at most 25 seconds before the process ends anyway.
// Returns the exit code; a failed start-up gives 1 so that Restart=on-failure starts it again.
int RunServiceHost(HostedService& service);

}  // namespace vel::admin
