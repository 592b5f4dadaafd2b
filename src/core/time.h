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

}  // namespace vel
