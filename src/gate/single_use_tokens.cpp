#include "gate/single_use_tokens.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::gate {

Bytes SingleUseTokens::issue(const std::string& address, std::int64_t now) {
    Bytes token = RandomBytes(32);
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [now](Entry& e) {
        if (e.expiresAt > now) return false;
        OPENSSL_cleanse(e.token.data(), e.token.size());
        return true;
    });
    entries_.push_back({token, address, now + kLifetimeSeconds});
    return token;
}

bool SingleUseTokens::consume(std::string_view tokenText, const std::string& address,
                           std::int64_t now) {
    Bytes token;
    if (!Base64Decode(tokenText, token) || token.empty()) return false;
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->expiresAt > now && it->address == address &&
                ConstantTimeEqual(it->token, token)) {
                OPENSSL_cleanse(it->token.data(), it->token.size());
                entries_.erase(it);
                found = true;
                break;
            }
        }
    }
    OPENSSL_cleanse(token.data(), token.size());
    return found;
}

}  // namespace vel::gate
