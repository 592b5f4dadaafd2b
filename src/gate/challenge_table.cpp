#include "gate/challenge_table.h"

#include <algorithm>

#include "core/crypto.h"

namespace vel::gate {

Bytes ChallengeTable::issue(const std::string& address, const std::string& kind, std::int64_t now) {
    Bytes challenge = RandomBytes(kChallengeSize);
    if (entries_.size() >= kCapacity) entries_.erase(entries_.begin(), entries_.begin() + kShed);
    entries_.push_back({challenge, address, kind, now + kLifetimeSeconds});
    return challenge;
}

bool ChallengeTable::consume(const Bytes& challenge, const std::string& address,
                             const std::string& kind, std::int64_t now) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->expiresAt > now && it->kind == kind && it->address == address &&
            ConstantTimeEqual(it->challenge, challenge)) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void ChallengeTable::dropExpired(std::int64_t now) {
    std::erase_if(entries_, [now](const Entry& e) { return e.expiresAt <= now; });
}

}  // namespace vel::gate
