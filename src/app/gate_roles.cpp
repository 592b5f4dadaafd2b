#include "app/gate_roles.h"

#include "admin/service_host.h"
#include "gate/gate_service.h"
#include "os/console.h"
#include "os/paths.h"
#include "os/privileges.h"
#include "os/stop_signals.h"

namespace vel::app {

namespace {

// The gate as the service host runs it.
class HostedGate final : public admin::HostedService {
  public:
    explicit HostedGate(gate::GateService& gate) : gate_(gate) {}
    bool startup(std::string& error) override { return gate_.startup(error); }
    void waitForStop() override { gate_.waitForStop(); }
    void requestStop() override { gate_.requestStop(); }
    void stop() override { gate_.stop(); }

  private:
    gate::GateService& gate_;
};

}  // namespace

int CmdRun(int, char**) {
    if (!isElevated()) {
        WriteConsoleLine("ERROR: administrator rights are required.");
        return 1;
    }
    gate::GateService service(DataDirectory());
    // Before startup, so that no thread of the gate is interrupted by Ctrl+C.
    StopSignals signals([&service] { service.requestStop(); });
    std::string error;
    if (!service.startup(error)) {
        WriteConsoleLine("Startup ERROR: " + error);
        return 1;
    }
    WriteConsoleLine("Gate started. Ctrl+C to stop.");
    service.waitForStop();
    service.stop();
    return 0;
}

int RunServiceRole() {
    gate::GateService service(DataDirectory());
    HostedGate hosted(service);
    return admin::RunServiceHost(hosted);
}

}  // namespace vel::app
