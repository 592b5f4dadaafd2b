#include "stream/replay_window.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

// What the receive path does: ask, then mark what was accepted.
bool receive(ReplayWindow& window, std::uint64_t number) {
    if (!window.acceptable(number)) return false;
    window.mark(number);
    return true;
}

TEST(ReplayWindow, SlidingReusesSlotsWithoutRememberingOldNumbers) {
    ReplayWindow window;
    ASSERT_TRUE(receive(window, 1));
    ASSERT_TRUE(receive(window, 3));
    // 1025 shares a slot with 1 and 3 with 1027: after sliding to 1030, 1027 must be new.
    EXPECT_TRUE(window.mark(1030));
    EXPECT_TRUE(receive(window, 1027));
    EXPECT_TRUE(receive(window, 1025));
    EXPECT_FALSE(window.mark(1029));
    EXPECT_FALSE(receive(window, 1029));
    // A jump of more than the window forgets everything before it: 99331 shares 1027's slot.
    EXPECT_TRUE(window.mark(100000));
    EXPECT_TRUE(receive(window, 99331));
}

}  // namespace
}  // namespace vel::stream
