#include "stream/emulation_option.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

TEST(EmulationOption, ReadsAnySubsetInAnyOrder) {
    NetworkEmulation e;
    std::string error;
    ASSERT_TRUE(parseEmulation("seed=7,rate=2000000,jitter=5,delay=20,loss=2.5", e, error))
        << error;
    EXPECT_DOUBLE_EQ(e.loss, 0.025);
    EXPECT_EQ(e.delayMs, 20u);
    EXPECT_EQ(e.jitterMs, 5u);
    EXPECT_EQ(e.rateLimit, 2000000u);
    EXPECT_EQ(e.seed, 7u);

    NetworkEmulation only;
    ASSERT_TRUE(parseEmulation("loss=100", only, error));
    EXPECT_DOUBLE_EQ(only.loss, 1.0);
    EXPECT_EQ(only.delayMs, 0u);
    EXPECT_EQ(only.seed, NetworkEmulation{}.seed);
    ASSERT_TRUE(parseEmulation("", only, error));  // nothing impaired
    EXPECT_FALSE(only.active());
}

TEST(EmulationOption, RefusesMalformedItemsAndChangesNothing) {
    for (const char* bad :
         {"loss=101", "loss=-1", "loss=x", "loss", "loss=", "delay=10001", "delay=2.5", "jitter=-3",
          "rate=1000000000001", "seed=1e3", "speed=3", "loss=5,,delay=1", "loss=5 "}) {
        NetworkEmulation e;
        e.delayMs = 99;
        std::string error;
        EXPECT_FALSE(parseEmulation(bad, e, error)) << bad;
        EXPECT_EQ(e.delayMs, 99u) << bad;
        EXPECT_EQ(error.rfind("--emulate is for testing only", 0), 0u) << error;
    }
    NetworkEmulation e;
    std::string error;
    EXPECT_FALSE(parseEmulation("loss=5,delay=oops", e, error));
    EXPECT_NE(error.find("bad item 'delay=oops'"), std::string::npos) << error;
}

}  // namespace
}  // namespace vel::stream
