#include "host/automatic_balance.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/manual_clock.h"

namespace vel::host {
namespace {

BalanceSample congested() {
    BalanceSample s;
    s.smoothedLoss = 0.2;
    s.queuingDelayUs = 60000;
    s.smoothedRttUs = 300000;
    return s;
}

TEST(AutomaticBalance, NeverChangesTwiceWithinFiveSeconds) {
    test::ManualClock clock;
    AutomaticBalance balance(clock);
    int bias = 100;
    std::vector<std::int64_t> changes;
    // A congested path for 30 s, one sample a second: the bias falls level by level, each step
    // at least 5 s after the one before (and the start counts as a change).
    for (int second = 1; second <= 30; ++second) {
        clock.steady += 1000;
        if (const auto level = balance.update(congested(), 100, bias)) {
            EXPECT_NE(*level, bias);
            EXPECT_EQ(*level % 25, 0);
            bias = *level;
            changes.push_back(clock.steady);
        }
    }
    ASSERT_GE(changes.size(), 2u) << "the balance never moved";
    EXPECT_GE(changes.front() - 5'000'000, 5000);
    for (std::size_t i = 1; i < changes.size(); ++i)
        EXPECT_GE(changes[i] - changes[i - 1], 5000) << i;
    EXPECT_LT(bias, 100);

    // A change made elsewhere (a viewer's request) restarts the 5 s.
    balance.changed();
    const std::int64_t requested = clock.steady;
    for (int second = 1; second <= 4; ++second) {
        clock.steady += 1000;
        EXPECT_FALSE(balance.update(BalanceSample{}, 100, 0).has_value()) << second;
    }
    clock.steady = requested + 5000;
    EXPECT_TRUE(balance.update(BalanceSample{}, 100, 0).has_value());
}

TEST(AutomaticBalance, CalmPathStaysAtTheBaseBias) {
    test::ManualClock clock;
    AutomaticBalance balance(clock);
    BalanceSample calm;
    calm.smoothedRttUs = 20000;
    calm.targetBitrate = 10e6;
    calm.sentBitrate = 9e6;
    for (int second = 0; second < 20; ++second) {
        clock.steady += 1000;
        EXPECT_FALSE(balance.update(calm, 50, 50).has_value());
    }
    EXPECT_DOUBLE_EQ(balance.network(), 0);
    EXPECT_DOUBLE_EQ(balance.compute(), 0);
}

}  // namespace
}  // namespace vel::host
