#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "core/bytes.h"

namespace vel::gate {

// WebAuthn ceremony types a challenge is issued for.
inline constexpr const char* kCeremonyCreate = "webauthn.create";
inline constexpr const char* kCeremonyGet = "webauthn.get";

// Pending single-use challenges, each bound to the client address it was issued to and to one
// ceremony type. Not thread-safe: the owner guards it.
class ChallengeTable {
  public:
    static constexpr std::size_t kChallengeSize = 32;
    static constexpr std::int64_t kLifetimeSeconds = 120;
    // A full table sheds its oldest entries in one batch rather than one per issue.
    static constexpr std::size_t kCapacity = 256;
    static constexpr std::size_t kShed = 64;
    // One client (IPv6: one /64) holds at most this many; its next issue replaces its own oldest,
    // so a flood from one client never evicts another client's challenge.
    static constexpr std::size_t kPerClient = 16;

    // Fresh random bytes from the system generator (throws vel::Error when it fails).
    Bytes issue(const std::string& address, const std::string& kind, std::int64_t now);
    // True once for a live challenge issued to exactly this address and kind; it is then gone.
    [[nodiscard]] bool consume(const Bytes& challenge, const std::string& address,
                               const std::string& kind, std::int64_t now);
    void dropExpired(std::int64_t now);

  private:
    struct Entry {
        Bytes challenge;
        std::string address;
        std::string group;
        std::string kind;
        std::int64_t expiresAt = 0;
    };
    std::deque<Entry> entries_;  // in order of issue
};

}  // namespace vel::gate
