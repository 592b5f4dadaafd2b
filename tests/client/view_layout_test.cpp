#include "client/view_layout.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

TEST(ViewLayout, PicturesKeepTheirShapeAndPointsMapOntoTheHostScreen) {
    // Wider window: bars left and right; taller window: bars top and bottom.
    EXPECT_EQ(FitPicture(1920, 1080, 1000, 1000), (ViewRect{0, 219, 1000, 562}));
    EXPECT_EQ(FitPicture(1280, 720, 1920, 720), (ViewRect{320, 0, 1280, 720}));
    EXPECT_EQ(FitPicture(640, 480, 640, 480), (ViewRect{0, 0, 640, 480}));
    EXPECT_EQ(FitPicture(0, 480, 640, 480), ViewRect{});

    const ViewRect picture{320, 0, 1280, 720};
    EXPECT_EQ(ToHostPoint(picture, 320, 0), (HostPoint{0, 0}));
    EXPECT_EQ(ToHostPoint(picture, 320 + 1279, 719), (HostPoint{65535, 65535}));
    EXPECT_EQ(ToHostPoint(picture, 320 + 640, 360).x, 32793);
    // Points on the bars go to the nearest edge of the picture.
    EXPECT_EQ(ToHostPoint(picture, 10, -5), (HostPoint{0, 0}));
    EXPECT_EQ(ToHostPoint(picture, 1900, 800), (HostPoint{65535, 65535}));
}

TEST(ViewLayout, ThePointerImageScalesWithThePictureAroundItsHotSpot) {
    stream::PointerShape shape;
    shape.width = 32;
    shape.height = 32;
    shape.hotX = 4;
    shape.hotY = 2;
    stream::PointerPosition position;
    position.x = 1000;
    position.y = 500;
    position.screenWidth = 2560;
    position.screenHeight = 1440;
    // The host's 2560x1440 screen shown at half size, 100 pixels from the window's left.
    const ViewRect picture{100, 0, 1280, 720};
    EXPECT_EQ(PointerRect(picture, position, shape), (ViewRect{598, 249, 16, 16}));
    position.screenWidth = 0;
    EXPECT_EQ(PointerRect(picture, position, shape), ViewRect{});
}

}  // namespace
}  // namespace vel::client
