#pragma once

#include <cstdint>

#include "core/time.h"
#include "firewall/firewall_worker.h"
#include "os/tcp_table.h"

namespace vel::gate {

// The session guard's seams and long waits. The defaults are the production values; tests pass
// their own clock and TCP table and shorten the waits.
struct SessionGuardOptions {
    // Grant lifetimes, challenges, rate windows, maintenance cadence, and the worker's watchdog.
    const Clock* clock = &SystemClock();
    // Where a live RDP session of an expired grant is looked for.
    const TcpTable* tcpTable = &SystemTcpTable();
    firewall::FirewallWorkerOptions worker;
    // Seconds between the passes that also repair the firewall and re-close allow rules.
    std::int64_t fullMaintenanceSeconds = 30;
};

}  // namespace vel::gate
