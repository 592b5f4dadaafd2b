#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "core/time.h"

namespace vel::gate {

// The session guard's clocks and long waits. The defaults are the production values; tests drive
// the clocks and shorten the waits.
struct SessionGuardOptions {
    // Wall clock in Unix seconds: grant lifetimes, challenges, rate windows, maintenance cadence.
    std::function<std::int64_t()> unixNow = UnixNow;
    // Steady clock in milliseconds, never 0: how long the worker has been inside one call.
    std::function<std::int64_t()> steadyMillis = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    };
    // How long a caller waits for the firewall worker before giving up on its task.
    std::chrono::milliseconds responseTimeout{20'000};
    // How long one firewall call may run before the watchdog ends the process.
    std::chrono::milliseconds hangLimit{90'000};
    std::chrono::milliseconds watchdogPeriod{5'000};
    // How long the idle worker waits for a task before it runs a maintenance pass.
    std::chrono::milliseconds idleWait{2'000};
    // Seconds between the passes that also repair the firewall and re-close allow rules.
    std::int64_t fullMaintenanceSeconds = 30;
};

}  // namespace vel::gate
