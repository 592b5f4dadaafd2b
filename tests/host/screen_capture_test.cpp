#include "host/capture_factory.h"

#include <X11/cursorfont.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <random>
#include <sstream>

#include "os/log.h"
#include "host/x11_capture.h"
#include "host/x_test_client.h"
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

}  // namespace
}  // namespace vel::host
