#include "app/gate_roles.h"

#include "app/console.h"
#include "core/paths.h"
#include "core/privileges.h"
#include "core/stop_signals.h"
#include "gate/gate_service.h"

namespace vel {

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
    return gate::RunServiceHost(service);
}

}  // namespace vel
