#include "stream/pacer.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

constexpr std::size_t kPayload = 1171;  // a full packet: 1200 bytes with the overhead

TEST(Pacer, SpendsAFullBucketThenWaitsForTheRate) {
    Pacer pacer(5000000, 0);  // 10 Mbit/s of pacing: 1.25 bytes per microsecond
    EXPECT_DOUBLE_EQ(pacer.rate(), 1.25);
    EXPECT_DOUBLE_EQ(pacer.capacity(), 64000);
    int sent = 0;
    while (pacer.acquire(kPayload, 0) == 0) ++sent;
    EXPECT_EQ(sent, 53);                           // 53 x 1200 = 63600 of 64000
    EXPECT_EQ(pacer.acquire(kPayload, 0), 640);    // (1200 - 400) / 1.25
    EXPECT_EQ(pacer.acquire(kPayload, 639), 200);  // one byte short: still the shortest sleep
    EXPECT_EQ(pacer.acquire(kPayload, 640), 0);
    EXPECT_EQ(pacer.acquire(kPayload, 1600), 0);  // exactly 1200 tokens refilled
    EXPECT_EQ(pacer.acquire(0, 1600), 200);       // 29 bytes of overhead even for nothing
}

TEST(Pacer, FollowsTheBitrate) {
    Pacer pacer(100000000, 0);
    EXPECT_DOUBLE_EQ(pacer.rate(), 25);
    EXPECT_DOUBLE_EQ(pacer.capacity(), 1250000);
    pacer.setBitrate(5000000);
    EXPECT_DOUBLE_EQ(pacer.tokens(), 64000);  // cut to the new capacity
    pacer.setBitrate(100000);
    EXPECT_DOUBLE_EQ(pacer.rate(), 0.25);  // never below 2 Mbit/s of pacing
    // Raising the rate does not refill: the bucket grows only with time.
    pacer.setBitrate(100000000);
    EXPECT_DOUBLE_EQ(pacer.tokens(), 64000);
}

// A sender that sleeps as told delivers the bucket plus the rate over time, never more.
TEST(Pacer, LongRunRateMatchesTheBitrate) {
    Pacer pacer(20000000, 0);  // 5 bytes per microsecond
    std::int64_t now = 0;
    double bytes = 0;
    while (now <= 1000000) {
        const std::int64_t wait = pacer.acquire(kPayload, now);
        if (wait == 0) {
            bytes += kPayload + 29;
        } else {
            EXPECT_GE(wait, 200);
            now += wait;
        }
    }
    const double allowed = pacer.capacity() + 5.0 * 1000000;
    EXPECT_LE(bytes, allowed + 1200 * 5);
    EXPECT_GE(bytes, allowed - 1200 * 5);
}

}  // namespace
}  // namespace vel::stream
