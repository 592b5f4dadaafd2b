#include "gate/warning_limiter.h"

#include "net/ip_address.h"
#include "os/log.h"

namespace vel::gate {

bool WarningLimiter::allow(const std::string& address, std::int64_t now) {
    std::uint64_t heldBack = 0;
    const std::string group = net::clientGroup(address);
    std::lock_guard lock(mutex_);
    if (clients_.size() >= kMaxClients && clients_.find(group) == clients_.end()) {
        std::erase_if(clients_, [now](const auto& item) {
            return now - item.second.periodStart >= kPeriodSeconds;
        });
    }
    Entry& entry = clients_[group];
    if (now - entry.periodStart >= kPeriodSeconds) {
        heldBack = entry.heldBack;
        entry = Entry{now, 0, 0};
    }
    const bool allowed = entry.logged < kPerPeriod;
    if (allowed) {
        ++entry.logged;
    } else {
        ++entry.heldBack;
    }
    if (heldBack != 0) {
        Log(LogLevel::Warn, "suppressed %llu warnings caused by %s in the last %llds",
            static_cast<unsigned long long>(heldBack), group.c_str(),
            static_cast<long long>(kPeriodSeconds));
    }
    return allowed;
}

}  // namespace vel::gate
