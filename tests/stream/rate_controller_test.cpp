#include "stream/rate_controller.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

constexpr std::int64_t kRtt = 100000;

RateFeedback clean() {
    RateFeedback f;
    f.packetsReceived = 100;
    f.packetsJudged = 100;
    return f;
}

RateFeedback delayed(std::uint32_t queuingDelay, std::int32_t trend, std::uint32_t rate = 0) {
    RateFeedback f = clean();
    f.queuingDelay = queuingDelay;
    f.delayTrend = trend;
    f.receiveRate = rate;
    return f;
}

// Feeds one report and returns the target it leaves.
std::uint64_t fed(RateController& rc, const RateFeedback& f, std::int64_t now,
                  std::int64_t rtt = kRtt) {
    rc.onFeedback(f, rtt, now);
    return rc.targetBitrate();
}

TEST(RateController, AppliesTheProfileLimits) {
    RateController rc;
    EXPECT_EQ(rc.targetBitrate(), 5000000u);
    rc.applyRateLimits(50000, 20000, 0, 0.3, 0.2);
    EXPECT_EQ(rc.minimum(), 100000u);
    EXPECT_EQ(rc.maximum(), 100000u);
    EXPECT_EQ(rc.targetBitrate(), 100000u);  // kept current, clamped
}

TEST(RateController, CutsOnRisingQueuingDelayOncePerRoundTrip) {
    RateController rc;
    rc.applyRateLimits(1000000, 20000000, 10000000, 0.1, 0.2);
    // 30 ms and rising, no receive rate: 0.85 x current.
    EXPECT_EQ(fed(rc, delayed(30000, 500), 1000000), 8500000u);
    EXPECT_EQ(rc.phase(), RatePhase::Decrease);
    EXPECT_EQ(rc.ceiling(), 10000000u);  // no ceiling and no receive rate: the old current
    // Within one round trip of the cut nothing more happens.
    EXPECT_EQ(fed(rc, delayed(30000, 500, 1000000), 1000000 + 149999, 150000), 8500000u);
    // Receiving far less than sent: halved at most, and the ceiling follows the receive rate.
    EXPECT_EQ(fed(rc, delayed(30000, 500, 1000000), 1000000 + 150000, 150000), 4250000u);
    EXPECT_EQ(rc.ceiling(), 5000000u);  // max(10 M / 2, 1 M)
    // Receive rate close to the current rate: 0.9 x receive rate.
    EXPECT_EQ(fed(rc, delayed(20000, 1, 4000000), 1400000), 3600000u);
    // Never below the minimum.
    for (int i = 1; i <= 10; ++i) rc.onFeedback(delayed(40000, 800), kRtt, 1400000 + i * kRtt);
    EXPECT_EQ(rc.targetBitrate(), 1000000u);
}

// A path that delivers less than the profile's minimum (a 1 Mbit/s bottleneck under a 1.5 Mbit/s
// floor) is followed below the minimum, never below 100 kbit/s; the rate then climbs back in
// ordinary steps rather than jumping up to the minimum again.
TEST(RateController, FollowsAStarvedPathBelowTheProfileMinimum) {
    RateController rc;
    rc.applyRateLimits(1500000, 35000000, 1500000, 0.05, 0.15);
    EXPECT_EQ(fed(rc, delayed(60000, 3000, 1000000), 1000000), 900000u);  // 0.9 x what arrives
    for (int i = 1; i <= 30; ++i) {
        rc.onFeedback(delayed(60000, 3000, 50000), kRtt, 1000000 + i * kRtt);
    }
    EXPECT_EQ(rc.targetBitrate(), 100000u);
    EXPECT_EQ(fed(rc, clean(), 5000000), 200000u);  // + 100 kbit/s near the (tiny) ceiling
    EXPECT_EQ(rc.phase(), RatePhase::Increase);

    // Congested while delivering more than the minimum: the minimum holds for two cuts, but a
    // third in a row means the minimum with its overhead does not fit, and the rate follows.
    RateController carried;
    carried.applyRateLimits(1500000, 35000000, 1500000, 0.05, 0.15);
    carried.onFeedback(delayed(60000, 3000, 1600000), kRtt, 1000000);
    EXPECT_EQ(fed(carried, delayed(60000, 3000, 1600000), 1000000 + kRtt), 1500000u);
    EXPECT_EQ(fed(carried, delayed(60000, 3000, 1600000), 1000000 + 2 * kRtt),
              1275000u);  // 0.85 x current
    // A path that clears in between starts the count again.
    RateController relieved;
    relieved.applyRateLimits(1500000, 35000000, 1500000, 0.05, 0.15);
    for (const std::int64_t at : {1000000, 1100000, 1400000, 1500000, 1600000}) {
        if (at == 1400000) {
            relieved.onFeedback(clean(), kRtt, at);
        } else {
            relieved.onFeedback(delayed(60000, 3000, 1600000), kRtt, at);
        }
    }
    EXPECT_EQ(relieved.targetBitrate(), 1500000u);
}

// Neither congested nor clean enough to probe: the rate holds.
TEST(RateController, TellsADrainingQueueFromABuildingOne) {
    RateController rc;
    rc.onFeedback(delayed(40000, -2001), kRtt, 1000000);  // high but falling fast
    EXPECT_EQ(rc.phase(), RatePhase::Hold);
    rc.onFeedback(delayed(20000, 0), kRtt, 2000000);  // moderate and flat
    EXPECT_EQ(rc.phase(), RatePhase::Hold);
    rc.onFeedback(delayed(12000, 5000), kRtt, 3000000);  // low, whatever the trend
    EXPECT_EQ(rc.phase(), RatePhase::Hold);
    EXPECT_EQ(rc.targetBitrate(), 5000000u);
    EXPECT_EQ(fed(rc, delayed(12001, 1), 4000000), 4250000u);
    EXPECT_EQ(rc.phase(), RatePhase::Decrease);
}

TEST(RateController, CutsOnSustainedLoss) {
    RateController rc;
    rc.applyRateLimits(1000000, 20000000, 10000000, 0.1, 0.2);
    RateFeedback lossy = clean();
    lossy.packetsReceived = 70;
    rc.onFeedback(lossy, kRtt, 1000000);
    EXPECT_DOUBLE_EQ(rc.smoothedLoss(), 0.045);
    EXPECT_EQ(rc.phase(), RatePhase::Increase);  // 0.045 is below max(0.6 x 0.1, 0.02)
    std::int64_t now = 1000000;
    now += 20000;
    rc.onFeedback(lossy, kRtt, now);
    EXPECT_EQ(rc.phase(), RatePhase::Hold);  // 0.083 is not above max(0.1, 0.08)
    const double before = static_cast<double>(rc.targetBitrate());
    while (rc.smoothedLoss() <= 0.1) {
        now += 20000;
        rc.onFeedback(lossy, kRtt, now);
    }
    EXPECT_EQ(rc.phase(), RatePhase::Decrease);
    const double expected = (1 - rc.smoothedLoss() / 2) * before;
    EXPECT_NEAR(static_cast<double>(rc.targetBitrate()), expected, 1.0);

    // A report that judged nothing leaves the loss as it was.
    const double loss = rc.smoothedLoss();
    rc.onFeedback(RateFeedback{}, kRtt, now + 20000);
    EXPECT_DOUBLE_EQ(rc.smoothedLoss(), loss);
}

// After a cut: no probe for two round trips, then growth up to 0.9 of the ceiling, then creeping
// by 2% near it; a ceiling older than 10 s is forgotten, and the rate probes by 12% at most every
// 200 ms up to the maximum.
TEST(RateController, RecoversBelowTheCeilingThenProbesUpToTheMaximum) {
    RateController rc;
    rc.applyRateLimits(1000000, 11000000, 10000000, 0.1, 0.2);
    const std::int64_t cut = 1000000;
    EXPECT_EQ(fed(rc, delayed(30000, 500), cut), 8500000u);
    EXPECT_EQ(rc.ceiling(), 10000000u);

    EXPECT_EQ(fed(rc, clean(), cut + 2 * kRtt - 1), 8500000u);
    EXPECT_EQ(fed(rc, clean(), cut + 2 * kRtt), 9000000u);  // 8.5 M x 1.12, capped at 0.9 x ceiling
    EXPECT_EQ(fed(rc, clean(), cut + 4 * kRtt), 9180000u);  // + 2%
    EXPECT_EQ(fed(rc, clean(), cut + 10000000), 9363600u);
    rc.onFeedback(clean(), kRtt, cut + 10000001);  // too soon after the last increase
    EXPECT_EQ(rc.targetBitrate(), 9363600u);
    rc.onFeedback(clean(), kRtt, cut + 10200001);
    EXPECT_EQ(rc.ceiling(), 0u);
    EXPECT_EQ(rc.targetBitrate(), 10487232u);  // x 1.12 without a ceiling
    EXPECT_EQ(fed(rc, clean(), cut + 10400000), 10487232u);
    EXPECT_EQ(fed(rc, clean(), cut + 10400001), 11000000u);
}

}  // namespace
}  // namespace vel::stream
