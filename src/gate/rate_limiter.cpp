#include "gate/rate_limiter.h"

#include "net/ip_address.h"
#include "os/log.h"

namespace vel::gate {

bool RateLimiter::allows(const std::string& address, std::int64_t now) const {
    const auto it = entries_.find(net::clientGroup(address));
    return it == entries_.end() || it->second.blockedUntil <= now;
}

void RateLimiter::recordFailure(const std::string& address, std::int64_t now) {
    const std::string group = net::clientGroup(address);
    Entry& entry = entries_[group];
    if (entry.windowStart == 0 || now - entry.windowStart > kWindowSeconds) {
        entry.windowStart = now;
        entry.failures = 0;
    }
    if (++entry.failures < kMaxFailures) return;
    entry.blockedUntil = now + kBlockSeconds;
    entry.failures = 0;
    entry.windowStart = now;
    Log(LogLevel::Warn, "rate limit hit for %s; blocked for %llds", group.c_str(),
        static_cast<long long>(kBlockSeconds));
}

void RateLimiter::recordSuccess(const std::string& address) {
    entries_.erase(net::clientGroup(address));
}

void RateLimiter::dropFinished(std::int64_t now) {
    std::erase_if(entries_, [now](const auto& item) {
        return item.second.blockedUntil < now && item.second.windowStart + kWindowSeconds < now;
    });
}

}  // namespace vel::gate
