#include "gate/single_use_tokens.h"

#include <gtest/gtest.h>

#include "core/encoding.h"

namespace vel::gate {
namespace {

TEST(SingleUseTokens, ATokenWorksOnceFromItsAddressAndOnlyWithinFiveMinutes) {
    SingleUseTokens tokens;
    const std::int64_t now = 1'000'000;
    const std::string token = Base64UrlEncode(tokens.issue("203.0.113.7", now));

    // Another address and a second use are seen in the end-to-end stream test.
    EXPECT_FALSE(tokens.consume(token, "::ffff:203.0.113.7", now));  // exact text only
    EXPECT_TRUE(tokens.consume(token, "203.0.113.7", now + 299));
    EXPECT_FALSE(tokens.consume(token, "203.0.113.7", now + 299));

    const std::string late = Base64UrlEncode(tokens.issue("203.0.113.7", now));
    EXPECT_FALSE(tokens.consume(late, "203.0.113.7", now + 300));

    EXPECT_FALSE(tokens.consume("", "203.0.113.7", now));
    EXPECT_FALSE(tokens.consume("not base64!", "203.0.113.7", now));
    const std::string other = Base64UrlEncode(tokens.issue("203.0.113.7", now));
    std::string altered = other;
    altered[0] = altered[0] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(tokens.consume(altered, "203.0.113.7", now));
    EXPECT_TRUE(tokens.consume(other, "203.0.113.7", now));
}

}  // namespace
}  // namespace vel::gate
