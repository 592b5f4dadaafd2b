#include "host/cursor_image.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/monitor_layout.h"

namespace vel::host {
namespace {

TEST(CursorImage, SizesOutsideOneTo256AreDroppedAndPixelsStayPremultiplied) {
    std::vector<unsigned long> pixels(257 * 2, 0x80402010ul);
    CursorShape shape;
    shape.width = 9;
    EXPECT_FALSE(cursorShapeFromXFixes(257, 2, 0, 0, pixels.data(), shape));
    EXPECT_FALSE(cursorShapeFromXFixes(2, 257, 0, 0, pixels.data(), shape));
    EXPECT_FALSE(cursorShapeFromXFixes(0, 1, 0, 0, pixels.data(), shape));
    EXPECT_EQ(shape.width, 9u);  // untouched

    // Xlib's unsigned long is wider than a pixel; only the low 32 bits count. The second pixel's
    // colour exceeds its alpha and is cut down to it.
    const std::vector<unsigned long> two = {0xFFFFFFFF80402010ul, 0x10FF2005ul};
    ASSERT_TRUE(cursorShapeFromXFixes(2, 1, 1, 0, two.data(), shape));
    EXPECT_EQ(shape.pixels,
              (std::vector<std::uint8_t>{0x10, 0x20, 0x40, 0x80, 0x05, 0x10, 0x10, 0x10}));
    EXPECT_EQ(shape.hotX, 1);
    EXPECT_FALSE(cursorShapeInvisible(shape));

    const std::vector<unsigned long> clear(256 * 256, 0);
    ASSERT_TRUE(cursorShapeFromXFixes(256, 256, 0, 0, clear.data(), shape));
    EXPECT_TRUE(cursorShapeInvisible(shape));
}

TEST(MonitorLayout, NoMonitorsMeansTheScreenAndMonitorsAreClippedToIt) {
    const Rect screen{0, 0, 1024, 768};
    Rect out;
    std::string error;
    ASSERT_TRUE(selectOutput({}, screen, 0, out, error));
    EXPECT_EQ(out, screen);
    EXPECT_FALSE(selectOutput({}, screen, 1, out, error));

    // A monitor left larger than a screen that has since shrunk.
    const std::vector<MonitorInfo> monitors = {{{0, 0, 1920, 1080}, false},
                                               {{1920, 0, 3840, 1080}, false}};
    ASSERT_TRUE(selectOutput(monitors, screen, 0, out, error));
    EXPECT_EQ(out, screen);
    EXPECT_FALSE(selectOutput(monitors, screen, 1, out, error));  // wholly off the screen
    EXPECT_EQ(error, "no desktop-attached output found");
}

}  // namespace
}  // namespace vel::host
