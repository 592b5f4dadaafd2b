#include "gate/rate_limiter.h"

#include <gtest/gtest.h>

#include "net/ip_address.h"

namespace vel::gate {
namespace {

constexpr std::int64_t kT0 = 1'700'000'000;

TEST(RateLimiter, EightFailuresInOneWindowBlockForFiveMinutesAndTheCountStartsAfresh) {
    RateLimiter limiter;
    const std::string client = "203.0.113.5";
    for (int i = 0; i < 7; ++i) limiter.recordFailure(client, kT0 + i * 40);
    EXPECT_TRUE(limiter.allows(client, kT0 + 280));
    limiter.recordFailure(client, kT0 + 290);
    EXPECT_FALSE(limiter.allows(client, kT0 + 290));
    EXPECT_FALSE(limiter.allows(client, kT0 + 589));
    EXPECT_TRUE(limiter.allows(client, kT0 + 590));

    // After a block, in a new window (301 s after the last one opened) and after a success the
    // count starts from zero.
    for (int i = 0; i < 7; ++i) limiter.recordFailure(client, kT0 + 591);
    EXPECT_TRUE(limiter.allows(client, kT0 + 591));
    for (int i = 0; i < 7; ++i) limiter.recordFailure(client, kT0 + 892);
    EXPECT_TRUE(limiter.allows(client, kT0 + 892));
    limiter.recordSuccess(client);
    for (int i = 0; i < 7; ++i) limiter.recordFailure(client, kT0 + 893);
    EXPECT_TRUE(limiter.allows(client, kT0 + 893));
    limiter.recordFailure(client, kT0 + 893);
    EXPECT_FALSE(limiter.allows(client, kT0 + 893));
    limiter.recordSuccess(client);  // a success lifts a block too
    EXPECT_TRUE(limiter.allows(client, kT0 + 893));
}

TEST(RateLimiter, Ipv6ClientsAreCountedPerSlash64) {
    RateLimiter limiter;
    for (int i = 1; i <= 8; ++i) limiter.recordFailure("2001:db8:1:2::" + std::to_string(i), kT0);
    EXPECT_FALSE(limiter.allows("2001:db8:1:2:ffff::1", kT0));
    EXPECT_TRUE(limiter.allows("2001:db8:1:3::1", kT0));
    EXPECT_EQ(net::clientGroup("2001:db8:1:2:a:b:c:d"), "2001:db8:1:2::/64");
    EXPECT_EQ(net::clientGroup("::ffff:203.0.113.5"), "203.0.113.5");
}

TEST(RateLimiter, DroppingFinishedEntriesKeepsBlocksAndOpenWindows) {
    RateLimiter limiter;
    for (int i = 0; i < 8; ++i) limiter.recordFailure("192.0.2.1", kT0);  // blocked until +300
    for (int i = 0; i < 7; ++i) limiter.recordFailure("192.0.2.2", kT0 + 200);
    limiter.dropFinished(kT0 + 299);
    EXPECT_FALSE(limiter.allows("192.0.2.1", kT0 + 299));
    // 192.0.2.2's window is still open: one more failure blocks it.
    limiter.dropFinished(kT0 + 400);
    limiter.recordFailure("192.0.2.2", kT0 + 400);
    EXPECT_FALSE(limiter.allows("192.0.2.2", kT0 + 400));
    // Once the window has closed the entry is forgotten and counting starts afresh.
    limiter.dropFinished(kT0 + 801);
    for (int i = 0; i < 7; ++i) limiter.recordFailure("192.0.2.2", kT0 + 801);
    EXPECT_TRUE(limiter.allows("192.0.2.2", kT0 + 801));
}

}  // namespace
}  // namespace vel::gate
