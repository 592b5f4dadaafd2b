#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vel::gate {

// Counts failed attempts per client (IPv6 clients per /64): eight within five minutes block the address for
// five minutes. Not thread-safe: the owner guards it.
class RateLimiter {
  public:
    static constexpr std::int32_t kMaxFailures = 8;
    static constexpr std::int64_t kWindowSeconds = 300;
    static constexpr std::int64_t kBlockSeconds = 300;

    bool allows(const std::string& address, std::int64_t now) const;
    void recordFailure(const std::string& address, std::int64_t now);
    void recordSuccess(const std::string& address);
    // Forgets addresses that are neither blocked nor inside a counting window.
    void dropFinished(std::int64_t now);

  private:
    struct Entry {
        std::int32_t failures = 0;
        std::int64_t windowStart = 0;   // 0 = no window open
        std::int64_t blockedUntil = 0;  // 0 = never blocked
    };
    std::map<std::string, Entry> entries_;  // by client group
};

}  // namespace vel::gate
