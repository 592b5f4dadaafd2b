#include <X11/cursorfont.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "host/capture_factory.h"
#include "host/x11_capture.h"
#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

using Factory = std::unique_ptr<ScreenCapture> (*)();

// An Xvfb of the given size with a desktop client on it; skips when Xvfb cannot start.
#define START_DESKTOP(w, h, ...)                                                      \
    test::Xvfb server;                                                                \
    {                                                                                 \
        std::string why;                                                              \
        if (!server.start(w, h, why __VA_OPT__(, ) __VA_ARGS__)) GTEST_SKIP() << why; \
    }                                                                                 \
    test::XTestClient client;                                                         \
    ASSERT_TRUE(client.ok())

// The frame's pixels at (x, y) of the captured output as 0xRRGGBB, and whether alpha is 255.
std::uint32_t rgbAt(const CapturedFrame& f, int x, int y) {
    const std::uint8_t* p = f.pixels + (static_cast<std::size_t>(y) * f.width + x) * 4;
    EXPECT_EQ(p[3], 255);
    return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}

std::unique_ptr<ScreenCapture> opened(Factory factory, CaptureOptions options = {}) {
    std::unique_ptr<ScreenCapture> capture = factory();
    std::string error;
    EXPECT_TRUE(capture->open(options, error)) << error;
    return capture;
}

// Captures until a frame arrives (a new image or pointer change), at most two seconds.
CaptureResult nextFrame(ScreenCapture& capture, CapturedFrame& frame) {
    return capture.captureFrame(2000, frame);
}

TEST(ScreenCapture, WithoutXDamageEverySixteenthRowDecides) {
    START_DESKTOP(160, 100, {"-extension", "DAMAGE"});
    client.fill(0, 0, 160, 100, 0x000000);
    std::unique_ptr<ScreenCapture> capture = opened(newShmCapture);
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_TRUE(frame.newImage);
    EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Timeout);

    client.fill(40, 33, 10, 10, 0xFFFFFF);  // rows 33-42: none of them sampled
    EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Timeout);
    client.fill(40, 48, 1, 1, 0xFFFFFF);  // row 48 is
    ASSERT_EQ(capture->captureFrame(0, frame), CaptureResult::Frame);
    EXPECT_TRUE(frame.newImage);
    // The delivered image is whole, unsampled rows included.
    EXPECT_EQ(rgbAt(frame, 45, 35), 0xFFFFFFu);
    EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Timeout);
}

TEST(ScreenCapture, PointerMovesAndNewShapesArriveWithTheirIds) {
    START_DESKTOP(320, 240);
    client.warp(10, 10);
    std::unique_ptr<ScreenCapture> capture = opened(newShmCapture);
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    const std::uint32_t firstShape = frame.cursor.shapeId;
    ASSERT_EQ(firstShape, 1u);
    client.warp(100, 50);
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_FALSE(frame.newImage);  // pointer-only: the desktop image did not change
    EXPECT_EQ(frame.cursor.x, 100);
    EXPECT_EQ(frame.cursor.y, 50);
    EXPECT_EQ(frame.cursor.shapeId, firstShape);

    // A window with its own cursor under the pointer changes the shape.
    Display* d = client.display();
    Window w = XCreateSimpleWindow(d, client.root(), 200, 150, 100, 80, 0, 0, 0x808080);
    XDefineCursor(d, w, XCreateFontCursor(d, XC_crosshair));
    XMapWindow(d, w);
    XSync(d, False);
    client.warp(250, 190);
    bool sawShape = false;
    for (int i = 0; i < 10 && !sawShape; ++i) {
        if (nextFrame(*capture, frame) != CaptureResult::Frame) continue;
        sawShape = frame.cursor.shapeId == firstShape + 1;
    }
    ASSERT_TRUE(sawShape);
    CursorShape shape;
    ASSERT_TRUE(capture->cursorShape(shape));
    EXPECT_EQ(shape.id, firstShape + 1);

    // Back over the root: the root's shape again, under a new id.
    client.warp(20, 20);
    for (int i = 0; i < 10 && frame.cursor.shapeId == firstShape + 1; ++i)
        nextFrame(*capture, frame);
    EXPECT_EQ(frame.cursor.shapeId, firstShape + 2);
}

TEST(ScreenCapture, ScreenSizeChangeIsLostAndReopenFollowsIt) {
    START_DESKTOP(640, 480);
    std::unique_ptr<ScreenCapture> capture = opened(newGetImageCapture);
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    CursorShape shape;
    ASSERT_TRUE(capture->cursorShape(shape));

    client.resizeScreen(400, 300);
    EXPECT_EQ(capture->captureFrame(100, frame), CaptureResult::Lost);
    std::string error;
    ASSERT_TRUE(capture->reopen(error)) << error;
    EXPECT_EQ(capture->desktopRect(), (Rect{0, 0, 400, 300}));
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_EQ(frame.width, 400u);
    EXPECT_TRUE(frame.newImage);
    // The shape survives reopen, and the ids go on counting from it.
    EXPECT_EQ(frame.cursor.shapeId, shape.id);
    XDefineCursor(client.display(), client.root(),
                  XCreateFontCursor(client.display(), XC_crosshair));
    XSync(client.display(), False);
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_EQ(frame.cursor.shapeId, shape.id + 1);
}

TEST(ScreenCapture, AVanishedServerIsLostNotTheEndOfTheProcess) {
    for (Factory factory : {newShmCapture, newGetImageCapture}) {
        auto server = std::make_unique<test::Xvfb>();
        std::string why;
        if (!server->start(200, 100, why)) GTEST_SKIP() << why;
        std::unique_ptr<ScreenCapture> capture = opened(factory);
        CapturedFrame frame;
        ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
        server.reset();
        EXPECT_EQ(capture->captureFrame(50, frame), CaptureResult::Lost);
        EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Lost);
        EXPECT_FALSE(capture->reopen(why));
        EXPECT_EQ(why, "no X display");
    }
}

// Both methods deliver the monitor's pixels in their channel order, offset to the monitor.
TEST(ScreenCapture, OutputIndexWalksTheMonitorsPrimaryFirst) {
    START_DESKTOP(800, 300);
    client.addMonitor("LEFT", 0, 0, 300, 300, false);
    client.addMonitor("RIGHT", 300, 0, 500, 300, true);
    client.fill(0, 0, 300, 300, 0x10AA30);
    client.fill(300, 0, 500, 300, 0xC02040);
    client.warp(310, 20);

    std::unique_ptr<ScreenCapture> primary = opened(newShmCapture, {0});
    EXPECT_EQ(primary->desktopRect(), (Rect{300, 0, 800, 300}));
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*primary, frame), CaptureResult::Frame);
    EXPECT_EQ(frame.width, 500u);
    EXPECT_EQ(rgbAt(frame, 0, 0), 0xC02040u);
    EXPECT_EQ(frame.cursor.x, 10);
    EXPECT_TRUE(frame.cursor.visible);

    std::unique_ptr<ScreenCapture> second = opened(newGetImageCapture, {1});
    EXPECT_EQ(second->desktopRect(), (Rect{0, 0, 300, 300}));
    ASSERT_EQ(nextFrame(*second, frame), CaptureResult::Frame);
    EXPECT_EQ(rgbAt(frame, 299, 299), 0x10AA30u);
    EXPECT_FALSE(frame.cursor.visible);  // the pointer is on the other monitor

    std::string error;
    EXPECT_FALSE(newShmCapture()->open({9}, error));
    EXPECT_EQ(error, "no desktop-attached output found");
}

TEST(ScreenCapture, SelectionFallsBackAndNamesEveryReason) {
    {
        START_DESKTOP(200, 100, {"-extension", "MIT-SHM"});
        std::string description, error;
        auto capture = createScreenCapture({}, description, error);
        ASSERT_TRUE(capture) << error;
        EXPECT_EQ(description,
                  "X11 GetImage (X11 MIT-SHM unavailable: the X server has no MIT-SHM extension)");
    }
    {
        START_DESKTOP(200, 100);
        std::string description, error;
        auto capture = createScreenCapture({}, description, error);
        ASSERT_TRUE(capture) << error;
        EXPECT_EQ(description, "X11 MIT-SHM");

        ::setenv("XDG_SESSION_TYPE", "wayland", 1);
        EXPECT_FALSE(createScreenCapture({}, description, error));
        ::unsetenv("XDG_SESSION_TYPE");
        EXPECT_NE(error.find("Wayland session"), std::string::npos) << error;
    }
    const std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    ::unsetenv("DISPLAY");
    std::string description, error;
    EXPECT_FALSE(createScreenCapture({}, description, error));
    EXPECT_EQ(error, "no capture method works: MIT-SHM: no X display; GetImage: no X display");
    if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);
}

}  // namespace
}  // namespace vel::host
