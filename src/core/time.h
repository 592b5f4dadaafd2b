#pragma once

#include <cstdint>
#include <string>

namespace vel {

// Current UTC time in whole seconds since 1970-01-01.
std::int64_t UnixNow();

// "DD.MM.YYYY hh:mm" in local time; empty for 0, negative values or a failed conversion.
std::string FormatLocalTime(std::int64_t unixSeconds);

// Microseconds since the first call, from the monotonic clock.
std::int64_t MonotonicMicros();

// The clocks, behind one interface so that tests can drive time.
class Clock {
  public:
    virtual ~Clock() = default;
    // Wall clock in Unix seconds.
    virtual std::int64_t unixNow() const = 0;
    // Steady clock in milliseconds, never 0.
    virtual std::int64_t steadyMillis() const = 0;
};

// The machine's clocks: UnixNow and the steady clock.
const Clock& SystemClock();

}  // namespace vel
