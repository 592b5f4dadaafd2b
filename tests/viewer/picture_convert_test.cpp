#include "viewer/picture_convert.h"

#include <gtest/gtest.h>

namespace vel::viewer {
namespace {

// BT.709 video-range values of pure colours, each a 2x2 block (one chroma sample).
TEST(PictureConvert, Bt709VideoRangeColoursComeBackAsBgra) {
    struct Case {
        std::uint8_t y, cb, cr;
        std::uint8_t b, g, r;
    };
    const Case cases[] = {
        {16, 128, 128, 0, 0, 0},    // black
        {63, 102, 240, 0, 0, 255},  // red
        {32, 240, 118, 255, 0, 0},  // blue
        {0, 0, 255, 0, 0, 209},     // beyond the range: clamped, not wrapped
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> nv12{c.y, c.y, c.y, c.y, c.cb, c.cr};
        std::vector<std::uint8_t> bgra;
        nv12ToBgra(nv12.data(), 2, 2, bgra);
        ASSERT_EQ(bgra.size(), 16u);
        for (int p = 0; p < 4; ++p) {
            EXPECT_NEAR(bgra[4 * p], c.b, 2) << int(c.y);
            EXPECT_NEAR(bgra[4 * p + 1], c.g, 2) << int(c.y);
            EXPECT_NEAR(bgra[4 * p + 2], c.r, 2) << int(c.y);
            EXPECT_EQ(bgra[4 * p + 3], 255);
        }
    }
}

}  // namespace
}  // namespace vel::viewer
