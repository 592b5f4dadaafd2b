#include "gate/update_tokens.h"

#include <algorithm>

#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::gate {

Bytes UpdateTokens::issue(const std::string& address, std::int64_t now) {
    Bytes token = RandomBytes(32);
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [now](const Entry& e) { return e.expiresAt <= now; });
    entries_.push_back({token, address, now + kLifetimeSeconds});
    return token;
}

bool UpdateTokens::consume(std::string_view tokenText, const std::string& address,
                           std::int64_t now) {
    Bytes token;
    if (!Base64Decode(tokenText, token) || token.empty()) return false;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->expiresAt > now && it->address == address && ConstantTimeEqual(it->token, token)) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace vel::gate
