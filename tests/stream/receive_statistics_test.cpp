// The viewer's receive-side measurements that feed Feedback: loss window, receive rate and
// queuing delay.
#include <gtest/gtest.h>

#include "stream/delay_estimator.h"
#include "stream/loss_window.h"
#include "stream/receive_rate.h"

namespace vel::stream {
namespace {

TEST(LossWindow, ReorderingWithin60msIsNotLossAndAJumpJudgesOnlyTheWindow) {
    LossWindow window;
    for (std::uint64_t n = 1; n <= 100; ++n) {
        if (n != 50) window.mark(n, static_cast<std::int64_t>(n) * 100);
    }
    auto j = window.judge(50000);  // nothing has been the highest for 60 ms yet
    EXPECT_EQ(j.judged, 0u);
    window.mark(50, 55000);  // late, but within the allowance
    j = window.judge(70000);
    EXPECT_EQ(j.judged, 100u);
    EXPECT_EQ(j.received, 100u);

    for (std::uint64_t n = 101; n <= 200; ++n) {
        if (n != 150) window.mark(n, 70000 + static_cast<std::int64_t>(n));
    }
    j = window.judge(200000);
    EXPECT_EQ(j.judged, 100u);
    EXPECT_EQ(j.received, 99u);
    window.mark(150, 200001);  // too late: already judged lost
    EXPECT_EQ(window.judge(300000).judged, 0u);

    // A jump past the window: only the numbers it still holds are judged.
    window.mark(200 + 20000, 300000);
    j = window.judge(360000);
    EXPECT_EQ(j.judged, 16384u);
    EXPECT_EQ(j.received, 1u);
}

TEST(ReceiveRate, CountsTheLast250ms) {
    ReceiveRate rate;
    for (std::int64_t t = 0; t < 1000000; t += 1000) rate.add(1000, t);
    EXPECT_EQ(rate.bitsPerSecond(999000), 8000000u);  // 250 packets of 8000 bits in 0.25 s
    EXPECT_EQ(rate.bitsPerSecond(999000 + 125000), 4000000u);
    EXPECT_EQ(rate.bitsPerSecond(999000 + 250000), 0u);
}

// One 2.5 ms send burst per 5 ms; offset is the unknown clock difference.
void burst(DelayEstimator& d, std::int64_t send, std::int64_t delay, std::int64_t offset = 0) {
    for (int i = 0; i < 3; ++i) {
        // The first packet of the burst queues least; its delay is the group's.
        d.onFragment(static_cast<std::uint32_t>(send + i * 500), false,
                     send + i * 500 + delay + offset + i * 200);
    }
}

TEST(DelayEstimator, MeasuresTheRiseAboveTheLowestDelay) {
    DelayEstimator d;
    const std::int64_t offset = -123456789;  // receiver clock behind the sender's
    std::int64_t t = 1000000;
    for (int i = 0; i < 20; ++i, t += 5000) burst(d, t, 5000, offset);
    EXPECT_EQ(d.queuingDelay(), 0u);
    burst(d, t, 15000, offset);  // closes the last 5 ms group
    t += 5000;
    burst(d, t, 15000, offset);  // closes the 15 ms group: 5000 + 0.3 x 10000
    EXPECT_EQ(d.queuingDelay(), 3000u);
    t += 5000;
    burst(d, t, 5000, offset);  // 8000 + 0.3 x (15000 - 8000) = 10100 above 5000
    EXPECT_EQ(d.queuingDelay(), 5100u);

    // Retransmissions waited for a NACK and are left out.
    d.onFragment(static_cast<std::uint32_t>(t + 100), true, t + 100 + 900000 + offset);
    EXPECT_EQ(d.queuingDelay(), 5100u);
}

TEST(DelayEstimator, UnwrapsTheSendStampAndForgetsOldMinima) {
    DelayEstimator d;
    std::int64_t send = 0xFFFFFFFFLL - 20000;  // the 32-bit stamp wraps during the test
    const std::int64_t offset = 1000 - send;   // receiver clock starts near 0
    for (int i = 0; i < 20; ++i, send += 5000) burst(d, send, 5000, offset);
    EXPECT_EQ(d.queuingDelay(), 0u) << "no jump across the wrap";

    // The path's delay rises by 20 ms for good: after 10 s the old minimum is forgotten.
    for (int i = 0; i < 100; ++i, send += 5000) burst(d, send, 25000, offset);
    EXPECT_GT(d.queuingDelay(), 19000u);
    for (int i = 0; i < 2100; ++i, send += 5000) burst(d, send, 25000, offset);
    EXPECT_EQ(d.queuingDelay(), 0u);
}

TEST(DelayEstimator, TrendComparesWithEightReportsAgo) {
    DelayEstimator d;
    std::int64_t t = 0;
    for (int i = 0; i < 10; ++i, t += 5000) burst(d, t, 1000);
    std::int32_t last = 0;
    for (int r = 0; r < 12; ++r) {
        for (int i = 0; i < 4; ++i, t += 5000) burst(d, t, 1000 + r * 1000);
        last = d.report().trend;
        if (r == 0) {
            EXPECT_EQ(last, 0);  // nothing to compare with yet
        }
    }
    EXPECT_GT(last, 5000);  // roughly eight steps of 1 ms
    EXPECT_LT(last, 9000);
}

}  // namespace
}  // namespace vel::stream
