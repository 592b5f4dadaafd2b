#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace vel::gate {

// Single-use tokens handed to a client that has just authenticated: within five minutes, from the
// address that authenticated, one token buys one update push or one stream. Update and stream
// tokens are kept in separate stores, so neither can be spent on the other.
class SingleUseTokens {
  public:
    static constexpr std::int64_t kLifetimeSeconds = 300;

    // 32 fresh random bytes bound to address. Throws vel::Error when the generator fails.
    Bytes issue(const std::string& address, std::int64_t now);
    // tokenText is the base64url token. Removes it when it is live and was issued to address
    // exactly; true then. Bad or empty text is never a token. Tokens are compared in constant time.
    [[nodiscard]] bool consume(std::string_view tokenText, const std::string& address,
                               std::int64_t now);

  private:
    struct Entry {
        Bytes token;
        std::string address;
        std::int64_t expiresAt = 0;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
};

}  // namespace vel::gate
