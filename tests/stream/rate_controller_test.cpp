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

// A clean path: +12% at most every 200 ms, up to the maximum.
TEST(RateController, ProbesUpwardOnACleanPath) {
    RateController rc;
    rc.applyRateLimits(1000000, 7000000, 5000000, 0.1, 0.2);
    rc.onFeedback(clean(), kRtt, 1000000);
    EXPECT_EQ(rc.phase(), RatePhase::Increase);
    EXPECT_EQ(rc.targetBitrate(), 5600000u);
    rc.onFeedback(clean(), kRtt, 1000000 + 199999);
    EXPECT_EQ(rc.targetBitrate(), 5600000u);
    rc.onFeedback(clean(), kRtt, 1000000 + 200000);
    EXPECT_EQ(rc.targetBitrate(), 6272000u);
    rc.onFeedback(clean(), kRtt, 1400000);
    EXPECT_EQ(rc.targetBitrate(), 7000000u);

    // Between the thresholds: neither congested nor clean enough to probe.
    rc.onFeedback(delayed(8000, 0), kRtt, 2000000);
    EXPECT_EQ(rc.phase(), RatePhase::Hold);
    EXPECT_EQ(rc.targetBitrate(), 7000000u);
}

TEST(RateController, CutsOnRisingQueuingDelayOncePerRoundTrip) {
    RateController rc;
    rc.applyRateLimits(1000000, 20000000, 10000000, 0.1, 0.2);
    // 30 ms and rising, no receive rate: 0.85 x current.
    rc.onFeedback(delayed(30000, 500), kRtt, 1000000);
    EXPECT_EQ(rc.phase(), RatePhase::Decrease);
    EXPECT_EQ(rc.targetBitrate(), 8500000u);
    EXPECT_EQ(rc.ceiling(), 10000000u);  // no ceiling and no receive rate: the old current
    // Within one round trip of the cut nothing more happens.
    rc.onFeedback(delayed(30000, 500, 1000000), 150000, 1000000 + 149999);
    EXPECT_EQ(rc.targetBitrate(), 8500000u);
    // Receiving far less than sent: halved at most, and the ceiling follows the receive rate.
    rc.onFeedback(delayed(30000, 500, 1000000), 150000, 1000000 + 150000);
    EXPECT_EQ(rc.targetBitrate(), 4250000u);
    EXPECT_EQ(rc.ceiling(), 5000000u);  // max(10 M / 2, 1 M)
    // Receive rate close to the current rate: 0.9 x receive rate.
    rc.onFeedback(delayed(20000, 1, 4000000), kRtt, 1400000);
    EXPECT_EQ(rc.targetBitrate(), 3600000u);
    // Never below the minimum.
    for (int i = 1; i <= 10; ++i) rc.onFeedback(delayed(40000, 800), kRtt, 1400000 + i * kRtt);
    EXPECT_EQ(rc.targetBitrate(), 1000000u);
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

}  // namespace
}  // namespace vel::stream
