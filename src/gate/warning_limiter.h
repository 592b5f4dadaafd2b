#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace vel::gate {

// Bounds the warnings one client (IPv6: one /64) can cause, so that no client can push the
// log's history out through rotation. Thread-safe.
class WarningLimiter {
  public:
    static constexpr std::uint32_t kPerPeriod = 10;
    static constexpr std::int64_t kPeriodSeconds = 60;
    // Clients tracked at once; past it, those whose period is over are forgotten.
    static constexpr std::size_t kMaxClients = 4096;

    // True when a warning caused by address may be logged now. When this starts a new period
    // for a client that had warnings held back in its last one, it logs their number in one line.
    [[nodiscard]] bool allow(const std::string& address, std::int64_t now);

  private:
    struct Entry {
        std::int64_t periodStart = 0;
        std::uint32_t logged = 0;
        std::uint64_t heldBack = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> clients_;  // guarded by mutex_
};

}  // namespace vel::gate
