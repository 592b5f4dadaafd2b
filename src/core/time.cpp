#include "core/time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace vel {

std::int64_t UnixNow() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string FormatLocalTime(std::int64_t unixSeconds) {
    if (unixSeconds <= 0) return {};
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local {};
    if (::localtime_r(&t, &local) == nullptr) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%02u.%02u.%04u %02u:%02u", unsigned(local.tm_mday),
                  unsigned(local.tm_mon + 1), unsigned(local.tm_year + 1900), unsigned(local.tm_hour),
                  unsigned(local.tm_min));
    return text;
}

std::int64_t MonotonicMicros() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return duration_cast<microseconds>(steady_clock::now() - start).count();
}

namespace {

class MachineClock final : public Clock {
  public:
    std::int64_t unixNow() const override { return UnixNow(); }
    std::int64_t steadyMillis() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
    }
};

}  // namespace

const Clock& SystemClock() {
    static const MachineClock clock;
    return clock;
}

}  // namespace vel
