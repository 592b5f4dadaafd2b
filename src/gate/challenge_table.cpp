#include "gate/challenge_table.h"

#include <algorithm>

#include "core/crypto.h"
#include "net/ip_address.h"

namespace vel::gate {

Bytes ChallengeTable::issue(const std::string& address, const std::string& kind, std::int64_t now) {
    Bytes challenge = RandomBytes(kChallengeSize);
    std::string group = net::clientGroup(address);
    const auto own = [&group](const Entry& e) { return e.group == group; };
    if (static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), own)) >=
        kPerClient) {
        entries_.erase(std::find_if(entries_.begin(), entries_.end(), own));
    } else if (entries_.size() >= kCapacity) {
        entries_.erase(entries_.begin(), entries_.begin() + kShed);
    }
    entries_.push_back({challenge, address, std::move(group), kind, now + kLifetimeSeconds});
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
