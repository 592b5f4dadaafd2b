#include "viewer/frame_gate.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel::viewer {
namespace {

TEST(FrameGate, DecodesFromKeyframesOnlyAfterALossAndAsksAgainWhileWaiting) {
    FrameGate gate;
    // Nothing before the first keyframe; the first skip asks at once, the next only after 500 ms.
    EXPECT_TRUE(gate.onFrame(7, false, 0).requestKeyframe);
    EXPECT_FALSE(gate.onFrame(8, false, 100000).requestKeyframe);
    EXPECT_FALSE(gate.onFrame(8, false, 100000).decode);
    FrameGate::Verdict again = gate.onFrame(9, false, 600000);
    EXPECT_FALSE(again.decode);
    EXPECT_TRUE(again.requestKeyframe);
    EXPECT_TRUE(gate.onFrame(10, true, 610000).decode);
    EXPECT_TRUE(gate.onFrame(11, false, 620000).decode);

    // A gap in the ids stops decoding until a keyframe, with one fresh request.
    FrameGate::Verdict gap = gate.onFrame(13, false, 630000);
    EXPECT_FALSE(gap.decode);
    EXPECT_TRUE(gap.requestKeyframe);
    EXPECT_FALSE(gate.onFrame(14, false, 640000).decode);
    EXPECT_TRUE(gate.onFrame(15, true, 650000).decode);

    // A refused picture does the same; ids wrap around without a gap.
    EXPECT_TRUE(gate.onDecodeFailure(660000).requestKeyframe);
    EXPECT_FALSE(gate.onFrame(16, false, 670000).decode);
    EXPECT_TRUE(gate.onFrame(17, true, 680000).decode);
    FrameGate wrap;
    EXPECT_TRUE(wrap.onFrame(0xFFFFFFFF, true, 0).decode);
    EXPECT_TRUE(wrap.onFrame(0, false, 1).decode);

    EXPECT_EQ(gate.requests(), 4u);
    EXPECT_EQ(gate.skipped(), 8u);
}

// While a wait lasts the requests thin out: 0.5 s, then 1 s, then every 2 s; a keyframe ends the
// wait, and the next loss asks at once and starts over at 0.5 s.
TEST(FrameGate, AsksLessOftenTheLongerAKeyframeTakes) {
    FrameGate gate;
    std::vector<std::int64_t> asked;
    for (std::int64_t t = 0; t <= 6000000; t += 10000) {
        if (gate.onFrame(static_cast<std::uint32_t>(t / 10000), false, t).requestKeyframe) {
            asked.push_back(t);
        }
    }
    EXPECT_EQ(asked, (std::vector<std::int64_t>{0, 500000, 1500000, 3500000, 5500000}));
    EXPECT_TRUE(gate.onFrame(601, true, 6010000).decode);
    EXPECT_TRUE(gate.onFrame(603, false, 6020000).requestKeyframe);
    EXPECT_FALSE(gate.onFrame(604, false, 6510000).requestKeyframe);
    EXPECT_TRUE(gate.onFrame(605, false, 6520000).requestKeyframe);
}

}  // namespace
}  // namespace vel::viewer
