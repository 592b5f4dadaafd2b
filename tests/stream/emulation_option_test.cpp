#include "stream/emulation_option.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

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
