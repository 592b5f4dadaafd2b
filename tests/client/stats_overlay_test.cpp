#include "client/stats_overlay.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

TEST(StatsOverlay, FiguresComeFromTheLastSecond) {
    StatsOverlay overlay;
    viewer::ViewerStats stats;
    stats.session.bytesReceived = 1'000'000;
    stats.session.framesDelivered = 100;
    stats.session.framesGivenUp = 2;
    stats.session.smoothedRtt = 20'000;
    stats.decodeMs = 3.0;
    stats.decoder = "h264";
    stream::QualityRequest quality;
    EXPECT_FALSE(overlay.update(10'000'000, stats, quality));
    EXPECT_TRUE(overlay.lines().empty());

    // One second later: 2.5 MB more (20 Mbit/s), 58 frames delivered and 2 given up (3.3 %),
    // 60 pictures shown 4 ms after decoding and 6 ms after their last packet.
    viewer::ViewerPicture picture;
    picture.width = 1920;
    picture.height = 1080;
    for (int i = 0; i < 60; ++i) {
        picture.receivedAt = 10'000'000 + i * 16'000;
        picture.decodedAt = picture.receivedAt + 2'000;
        overlay.shown(picture, picture.receivedAt + 6'000);
    }
    stats.session.bytesReceived += 2'500'000;
    stats.session.framesDelivered += 58;
    stats.session.framesGivenUp += 2;
    stats.host = stream::HostStatistics{1000, 1500, 2500, 60, 0, 18000, 50};
    EXPECT_FALSE(overlay.update(10'500'000, stats, quality));  // not a second yet
    ASSERT_TRUE(overlay.update(11'000'000, stats, quality));
    const std::vector<std::string>& lines = overlay.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "1920x1080  60.0 fps  h264");
    EXPECT_EQ(lines[1], "bitrate 20.0 Mbit/s (target 18.0)  loss 3.3% of frames  RTT 20.0 ms");
    // End to end: host 4 ms, half the round trip 10 ms, last packet to screen 6 ms.
    EXPECT_EQ(lines[2], "host 4.0 ms  decode 3.0 ms  display 4.0 ms  end-to-end ~20 ms");
    EXPECT_EQ(lines[3], "bias 50 automatic, host at 50  (Ctrl+Alt+Shift+S hides this)");

    // A quiet second starts from the new counters.
    ASSERT_TRUE(overlay.update(12'000'000, stats, quality));
    EXPECT_EQ(overlay.lines()[1].substr(0, 45), "bitrate 0.0 Mbit/s (target 18.0)  loss 0.0% o");
}

}  // namespace
}  // namespace vel::client
