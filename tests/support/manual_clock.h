#pragma once

#include <atomic>
#include <cstdint>

#include "core/time.h"

namespace vel::test {

// A clock that moves only when the test moves it.
class ManualClock final : public Clock {
  public:
    static constexpr std::int64_t kStart = 1'700'000'000;

    std::int64_t unixNow() const override { return wall; }
    std::int64_t steadyMillis() const override { return steady; }

    std::atomic<std::int64_t> wall{kStart};
    std::atomic<std::int64_t> steady{5'000'000};
};

}  // namespace vel::test
