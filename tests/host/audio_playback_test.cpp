#include "host/audio_playback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "host/fake_audio_system.h"

namespace vel::host {
namespace {

using namespace std::chrono_literals;

AudioBlock blockOf(std::int16_t value) {
    AudioBlock block;
    block.fill(value);
    return block;
}

// Plays until the fake device has taken its frames and returns what was written.
std::vector<std::uint8_t> playInto(test::FakeAudioSystem& system, AudioPlaybackContext& context) {
    std::thread thread([&] { audioPlaybackThread(context); });
    thread.join();  // the fake device fails once it has taken playbackFrames
    return system.written();
}

TEST(AudioPlaybackTest, PlaysTheJitterBufferAtTheStreamRate) {
    test::FakeAudioSystem system;
    system.playbackFrames = 4 * 480;
    AudioPlaybackContext context;
    context.system = &system;
    context.deviceId = "velmora-sink";
    for (std::uint32_t s = 0; s < 3; ++s)
        context.jitter.push(s, blockOf(static_cast<std::int16_t>(1000 * (s + 1))));
    const auto written = playInto(system, context);
    EXPECT_TRUE(context.startup.waitFor(0ms));
    EXPECT_EQ(system.openedDevice, "velmora-sink");
    EXPECT_FALSE(context.started);
    ASSERT_EQ(written.size(), 4u * 480 * 4);
    auto left = [&](std::size_t frame) {
        std::int16_t s;
        std::memcpy(&s, written.data() + frame * 4, 2);
        return s;
    };
    EXPECT_EQ(left(0), 1000);
    EXPECT_EQ(left(479), 1000);
    EXPECT_EQ(left(480), 2000);
    EXPECT_EQ(left(960), 3000);
    EXPECT_EQ(left(1440), 0) << "the fourth block never came";
    EXPECT_EQ(context.jitter.stats().played, 3u);
    EXPECT_EQ(context.jitter.stats().underruns, 1u);
}

}  // namespace
}  // namespace vel::host
