#include <X11/cursorfont.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <random>
#include <sstream>

#include "host/capture_factory.h"
#include "host/x11_capture.h"
#include "host/x_test_client.h"
#include "os/log.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Factory = std::unique_ptr<ScreenCapture> (*)();

#define START_XVFB(server, w, h, ...)                                                 \
    test::Xvfb server;                                                                \
    {                                                                                 \
        std::string why;                                                              \
        if (!server.start(w, h, why __VA_OPT__(, ) __VA_ARGS__)) GTEST_SKIP() << why; \
    }

// The frame's pixels at (x, y) of the captured output as 0xRRGGBB, and whether alpha is 255.
std::uint32_t rgbAt(const CapturedFrame& f, int x, int y) {
    const std::uint8_t* p = f.pixels + (static_cast<std::size_t>(y) * f.width + x) * 4;
    EXPECT_EQ(p[3], 255);
    return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}

Bytes randomBgrx(int width, int height, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = (i % 4 == 3) ? 0 : static_cast<std::uint8_t>(rng());
    return b;
}

// Captures until a frame arrives (a new image or pointer change), at most two seconds.
CaptureResult nextFrame(ScreenCapture& capture, CapturedFrame& frame) {
    return capture.captureFrame(2000, frame);
}

void checkPaintedPixels(Factory factory, const char* name) {
    SCOPED_TRACE(name);
    START_XVFB(server, 320, 200);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    client.fill(0, 0, 320, 200, 0x102030);
    client.fill(0, 0, 160, 100, 0xFF0000);
    client.fill(160, 100, 160, 100, 0x00FF7F);
    const Bytes pattern = randomBgrx(37, 23, 5);
    client.put(201, 17, 37, 23, pattern);
    client.warp(5, 190);

    std::unique_ptr<ScreenCapture> capture = factory();
    std::string error;
    ASSERT_TRUE(capture->open({}, error)) << error;
    EXPECT_EQ(capture->methodName(), name);
    EXPECT_EQ(capture->desktopRect(), (Rect{0, 0, 320, 200}));

    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_TRUE(frame.newImage);
    ASSERT_EQ(frame.width, 320u);
    ASSERT_EQ(frame.height, 200u);
    EXPECT_EQ(rgbAt(frame, 0, 0), 0xFF0000u);
    EXPECT_EQ(rgbAt(frame, 159, 99), 0xFF0000u);
    EXPECT_EQ(rgbAt(frame, 160, 99), 0x102030u);
    EXPECT_EQ(rgbAt(frame, 319, 199), 0x00FF7Fu);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) {
            const std::uint8_t* p = &pattern[(y * 37 + x) * 4];
            ASSERT_EQ(rgbAt(frame, 201 + x, 17 + y),
                      static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]))
                << x << "," << y;
        }
    EXPECT_TRUE(frame.cursor.visible);
    EXPECT_EQ(frame.cursor.x, 5);
    EXPECT_EQ(frame.cursor.y, 190);
    EXPECT_NE(frame.cursor.shapeId, 0u);

    // Nothing changes: a timeout of 0 returns at once, and the record is left alone.
    frame.width = 7;
    EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Timeout);
    EXPECT_EQ(frame.width, 7u);

    client.fill(300, 0, 20, 20, 0x0000FF);
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_TRUE(frame.newImage);
    EXPECT_EQ(rgbAt(frame, 310, 10), 0x0000FFu);
    EXPECT_EQ(rgbAt(frame, 0, 0), 0xFF0000u);
}

TEST(ScreenCapture, BothMethodsDeliverThePaintedPixels) {
    checkPaintedPixels(newShmCapture, "X11 MIT-SHM");
    checkPaintedPixels(newGetImageCapture, "X11 GetImage");
}

Cursor squareCursor(Display* d, unsigned size, int hotX, int hotY) {
    // Left half set in the source bitmap (foreground white), the whole square in the mask.
    std::vector<char> source((size + 7) / 8 * size, 0), mask((size + 7) / 8 * size, '\xFF');
    for (unsigned y = 0; y < size; ++y)
        for (unsigned x = 0; x < size / 2; ++x)
            source[y * ((size + 7) / 8) + x / 8] |= static_cast<char>(1 << (x % 8));
    Window root = DefaultRootWindow(d);
    Pixmap s = XCreateBitmapFromData(d, root, source.data(), size, size);
    Pixmap m = XCreateBitmapFromData(d, root, mask.data(), size, size);
    XColor white{}, black{};
    white.red = white.green = white.blue = 0xFFFF;
    Cursor c = XCreatePixmapCursor(d, s, m, &white, &black, static_cast<unsigned>(hotX),
                                   static_cast<unsigned>(hotY));
    XFreePixmap(d, s);
    XFreePixmap(d, m);
    return c;
}

TEST(ScreenCapture, WithoutXDamageEverySixteenthRowDecides) {
    START_XVFB(server, 160, 100, {"-extension", "DAMAGE"});
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    client.fill(0, 0, 160, 100, 0x000000);
    std::unique_ptr<ScreenCapture> capture = newShmCapture();
    std::string error;
    ASSERT_TRUE(capture->open({}, error)) << error;
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
    START_XVFB(server, 320, 240);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    client.warp(10, 10);
    std::unique_ptr<ScreenCapture> capture = newShmCapture();
    std::string error;
    ASSERT_TRUE(capture->open({}, error)) << error;
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    const std::uint32_t firstShape = frame.cursor.shapeId;
    ASSERT_EQ(firstShape, 1u);
    CursorShape shape;
    ASSERT_TRUE(capture->cursorShape(shape));
    EXPECT_EQ(shape.id, 1u);

    client.warp(100, 50);
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    EXPECT_FALSE(frame.newImage);  // pointer-only: the desktop image did not change
    EXPECT_EQ(frame.cursor.x, 100);
    EXPECT_EQ(frame.cursor.y, 50);
    EXPECT_EQ(frame.cursor.shapeId, firstShape);

    // A window with its own cursor under the pointer changes the shape.
    Display* d = client.display();
    Window w = XCreateSimpleWindow(d, client.root(), 200, 150, 100, 80, 0, 0, 0x808080);
    XDefineCursor(d, w, squareCursor(d, 16, 3, 5));
    XMapWindow(d, w);
    XSync(d, False);
    client.warp(250, 190);
    bool sawShape = false;
    for (int i = 0; i < 10 && !sawShape; ++i) {
        if (nextFrame(*capture, frame) != CaptureResult::Frame) continue;
        sawShape = frame.cursor.shapeId == firstShape + 1;
    }
    ASSERT_TRUE(sawShape);
    EXPECT_EQ(frame.cursor.x, 250);
    EXPECT_EQ(frame.cursor.y, 190);
    ASSERT_TRUE(capture->cursorShape(shape));
    EXPECT_EQ(shape.id, firstShape + 1);
    EXPECT_EQ(shape.width, 16u);
    EXPECT_EQ(shape.height, 16u);
    EXPECT_EQ(shape.hotX, 3);
    EXPECT_EQ(shape.hotY, 5);
    ASSERT_EQ(shape.pixels.size(), 16u * 16 * 4);
    EXPECT_EQ(Bytes(shape.pixels.begin(), shape.pixels.begin() + 4), (Bytes{255, 255, 255, 255}));
    EXPECT_EQ(Bytes(shape.pixels.begin() + 60, shape.pixels.begin() + 64), (Bytes{0, 0, 0, 255}));

    // Back over the root: the root's shape again, under a new id.
    client.warp(20, 20);
    for (int i = 0; i < 10 && frame.cursor.shapeId == firstShape + 1; ++i)
        nextFrame(*capture, frame);
    EXPECT_EQ(frame.cursor.shapeId, firstShape + 2);
}

TEST(ScreenCapture, ScreenSizeChangeIsLostAndReopenFollowsIt) {
    START_XVFB(server, 640, 480);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    std::unique_ptr<ScreenCapture> capture = newGetImageCapture();
    std::string error;
    ASSERT_TRUE(capture->open({}, error)) << error;
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
    CursorShape shape;
    ASSERT_TRUE(capture->cursorShape(shape));

    client.resizeScreen(400, 300);
    EXPECT_EQ(capture->captureFrame(100, frame), CaptureResult::Lost);
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
        std::unique_ptr<ScreenCapture> capture = factory();
        ASSERT_TRUE(capture->open({}, why)) << why;
        CapturedFrame frame;
        ASSERT_EQ(nextFrame(*capture, frame), CaptureResult::Frame);
        server.reset();
        EXPECT_EQ(capture->captureFrame(50, frame), CaptureResult::Lost);
        EXPECT_EQ(capture->captureFrame(0, frame), CaptureResult::Lost);
        EXPECT_FALSE(capture->reopen(why));
        EXPECT_EQ(why, "no X display");
    }
}

TEST(ScreenCapture, OutputIndexWalksTheMonitorsPrimaryFirst) {
    START_XVFB(server, 800, 300);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    client.addMonitor("LEFT", 0, 0, 300, 300, false);
    client.addMonitor("RIGHT", 300, 0, 500, 300, true);
    client.fill(0, 0, 300, 300, 0x00AA00);
    client.fill(300, 0, 500, 300, 0x0000AA);
    client.warp(310, 20);

    std::string error;
    std::unique_ptr<ScreenCapture> primary = newShmCapture();
    ASSERT_TRUE(primary->open({0}, error)) << error;
    EXPECT_EQ(primary->desktopRect(), (Rect{300, 0, 800, 300}));
    CapturedFrame frame;
    ASSERT_EQ(nextFrame(*primary, frame), CaptureResult::Frame);
    EXPECT_EQ(frame.width, 500u);
    EXPECT_EQ(rgbAt(frame, 0, 0), 0x0000AAu);
    EXPECT_EQ(frame.cursor.x, 10);
    EXPECT_TRUE(frame.cursor.visible);

    std::unique_ptr<ScreenCapture> second = newGetImageCapture();
    ASSERT_TRUE(second->open({1}, error)) << error;
    EXPECT_EQ(second->desktopRect(), (Rect{0, 0, 300, 300}));
    ASSERT_EQ(nextFrame(*second, frame), CaptureResult::Frame);
    EXPECT_EQ(rgbAt(frame, 299, 299), 0x00AA00u);
    EXPECT_FALSE(frame.cursor.visible);  // the pointer is on the other monitor

    std::unique_ptr<ScreenCapture> beyond = newShmCapture();
    EXPECT_FALSE(beyond->open({9}, error));
    EXPECT_EQ(error, "no desktop-attached output found");
}

TEST(ScreenCapture, SelectionFallsBackAndNamesEveryReason) {
    test::TempDir logDir;
    InitLog(logDir.path(), "agent");
    std::string shmlessDisplay;
    {
        START_XVFB(server, 200, 100, {"-extension", "MIT-SHM"});
        std::string description, error;
        auto capture = createScreenCapture({}, description, error);
        ASSERT_TRUE(capture) << error;
        EXPECT_EQ(capture->methodName(), "X11 GetImage");
        EXPECT_EQ(description,
                  "X11 GetImage (X11 MIT-SHM unavailable: the X server has no MIT-SHM extension)");
        shmlessDisplay = server.display();
    }
    {
        START_XVFB(server, 200, 100);
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

    std::ifstream in(logDir.file("agent.log"));
    std::stringstream log;
    log << in.rdbuf();
    for (const std::string& line : std::vector<std::string>{
             "[INFO ] capture: trying X11 MIT-SHM on display '" + shmlessDisplay + "'",
             "[WARN ] capture: X11 MIT-SHM unavailable (the X server has no MIT-SHM extension); "
             "trying X11 GetImage",
             "[WARN ] capture: no X display; X11 MIT-SHM skipped",
             "[ERROR] capture: X11 GetImage unavailable too (no X display)"})
        EXPECT_NE(log.str().find(line), std::string::npos) << line << "\n" << log.str();
}

}  // namespace
}  // namespace vel::host
