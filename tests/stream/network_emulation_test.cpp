#include "stream/network_emulation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vel::stream {
namespace {

TEST(NetworkEmulation, DropsAtTheLossRateAndDelaysWithinTheJitter) {
    NetworkEmulation settings;
    settings.loss = 0.1;
    settings.delayMs = 20;
    settings.jitterMs = 5;
    NetworkEmulator emulator(settings);
    int dropped = 0;
    std::int64_t lowest = 1 << 30, highest = 0, total = 0;
    const int count = 100000;
    for (int i = 0; i < count; ++i) {
        const auto due = emulator.admit(1200, 1000);
        if (!due) {
            ++dropped;
            continue;
        }
        const std::int64_t delay = *due - 1000;
        lowest = std::min(lowest, delay);
        highest = std::max(highest, delay);
        total += delay;
    }
    EXPECT_NEAR(dropped, count / 10, count / 100);
    EXPECT_GE(lowest, 15000);
    EXPECT_LT(lowest, 15100);
    EXPECT_LE(highest, 25000);
    EXPECT_GT(highest, 24900);
    EXPECT_NEAR(static_cast<double>(total) / (count - dropped), 20000, 100);

    NetworkEmulator clean(NetworkEmulation{});
    EXPECT_EQ(clean.admit(1200, 5), 5);
}

// A bottleneck of 8 Mbit/s (one byte per microsecond) with a 10 ms burst: a flood queues behind
// it until the wait would pass 60 ms, then drops; the queue drains at the link rate.
TEST(NetworkEmulation, RateLimitQueuesThenDrops) {
    NetworkEmulation settings;
    settings.rateLimit = 8000000;
    NetworkEmulator emulator(settings);
    std::vector<std::int64_t> dues;
    int dropped = 0;
    for (int i = 0; i < 100; ++i) {
        const auto due = emulator.admit(1000, 0);
        if (due) {
            dues.push_back(*due);
        } else {
            ++dropped;
        }
    }
    ASSERT_EQ(dues.size(), 70u);  // 10 in the burst, 60 within 60 ms of queue
    EXPECT_EQ(dropped, 30);
    EXPECT_EQ(dues[9], 0);
    EXPECT_EQ(dues[10], 1000);
    EXPECT_EQ(dues[69], 60000);
    // 70 ms later the queue has drained and the burst refilled.
    EXPECT_EQ(emulator.admit(1000, 70000), 70000);
}

}  // namespace
}  // namespace vel::stream
