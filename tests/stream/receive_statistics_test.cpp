// The viewer's receive-side measurements that feed Feedback: loss window, receive rate and
// queuing delay.
#include <gtest/gtest.h>

#include "stream/delay_estimator.h"
#include "stream/loss_window.h"
#include "stream/receive_rate.h"

namespace vel::stream {
namespace {

TEST(LossWindow, ReorderingWithin60msIsNotLoss) {
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
    j = window.judge(300000);
    EXPECT_EQ(j.judged, 0u);
    EXPECT_EQ(window.highest(), 200u);
}

TEST(LossWindow, JudgesOnlyWhatWasTheHighest60msAgo) {
    LossWindow window;
    for (std::uint64_t n = 1; n <= 10; ++n) window.mark(n, 0);
    for (std::uint64_t n = 11; n <= 20; ++n) window.mark(n, 30000);
    auto j = window.judge(60000);
    EXPECT_EQ(j.judged, 10u);
    EXPECT_EQ(j.received, 10u);
    j = window.judge(90000);
    EXPECT_EQ(j.judged, 10u);

    // A jump past the window: only the numbers it still holds are judged.
    window.mark(20 + 20000, 100000);
    j = window.judge(160000);
    EXPECT_EQ(j.judged, 16384u);
    EXPECT_EQ(j.received, 1u);
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

}  // namespace
}  // namespace vel::stream
