// The network impairment of the development commands and the option that sets it.
#include "stream/network_emulation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "stream/emulation_option.h"

namespace vel::stream {
namespace {

TEST(NetworkEmulation, DropsAtTheLossRateAndDelaysWithinTheJitter) {
    NetworkEmulation settings;
    settings.loss = 0.1;
    settings.delayMs = 20;
    settings.jitterMs = 5;
    NetworkEmulator emulator(settings);
    int dropped = 0;
    std::int64_t lowest = 1 << 30, highest = 0;
    for (int i = 0; i < 10000; ++i) {
        const auto due = emulator.admit(1200, 0);
        dropped += due ? 0 : 1;
        lowest = std::min(lowest, due.value_or(lowest));
        highest = std::max(highest, due.value_or(highest));
    }
    EXPECT_NEAR(dropped, 1000, 150);
    EXPECT_NEAR(lowest, 15000, 100);
    EXPECT_NEAR(highest, 25000, 100);
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

// Reading a full option in the view settings and refusing "loss=x" from dev-listen are
// exercised by the client and integration tests; these are the edges.
TEST(EmulationOption, ReadsTheEdgesAndRefusesMalformedItemsChangingNothing) {
    NetworkEmulation e;
    std::string error;
    ASSERT_TRUE(parseEmulation("seed=7,jitter=5,loss=100", e, error)) << error;
    EXPECT_DOUBLE_EQ(e.loss, 1.0);
    EXPECT_EQ(e.jitterMs, 5u);
    EXPECT_EQ(e.seed, 7u);
    NetworkEmulation none;
    ASSERT_TRUE(parseEmulation("", none, error));  // nothing impaired
    EXPECT_FALSE(none.active());

    for (const char* bad : {"loss=101", "loss=-1", "loss", "loss=", "delay=10001", "delay=2.5",
                            "rate=1000000000001", "speed=3", "loss=5,,delay=1", "loss=5 "}) {
        NetworkEmulation kept;
        kept.delayMs = 99;
        EXPECT_FALSE(parseEmulation(bad, kept, error)) << bad;
        EXPECT_EQ(kept.delayMs, 99u) << bad;
    }
    EXPECT_FALSE(parseEmulation("loss=5,delay=oops", e, error));
    EXPECT_EQ(error.rfind("--emulate is for testing only", 0), 0u) << error;
    EXPECT_NE(error.find("bad item 'delay=oops'"), std::string::npos) << error;
}

}  // namespace
}  // namespace vel::stream
