#include "media/audio_playback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "media/fake_audio_system.h"

namespace vel::media {
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

TEST(AudioPlaybackTest, OtherDeviceFormatsHoldFramesAndFillExtraChannelsWithZero) {
    test::FakeAudioSystem system;
    system.playbackFormat = {24000, 4, 24, false};
    system.playbackFrames = 480;
    AudioPlaybackContext context;
    context.system = &system;
    AudioBlock ramp;
    for (std::size_t f = 0; f < kBlockFrames; ++f) {
        ramp[f * 2] = static_cast<std::int16_t>(f * 2);
        ramp[f * 2 + 1] = static_cast<std::int16_t>(-static_cast<int>(f));
    }
    for (std::uint32_t s = 0; s < 3; ++s) context.jitter.push(s, ramp);
    const auto written = playInto(system, context);
    ASSERT_EQ(written.size(), 480u * 12);
    // At half the stream rate every second stream frame (1, 3, 5, ...) is played; the first
    // device frame holds the silence from before the stream.
    auto sample = [&](std::size_t frame, int channel) {
        const std::uint8_t* p = written.data() + frame * 12 + channel * 3;
        EXPECT_EQ(p[0], 0);
        return static_cast<std::int16_t>(p[1] | (p[2] << 8));
    };
    EXPECT_EQ(sample(0, 0), 0);
    EXPECT_EQ(sample(1, 0), 2);
    EXPECT_EQ(sample(2, 0), 6);
    EXPECT_EQ(sample(2, 1), -3);
    EXPECT_EQ(sample(479, 0), (957 - 480) * 2) << "stream frame 957 is in the second block";
    EXPECT_EQ(sample(2, 2), 0);
    EXPECT_EQ(sample(2, 3), 0);
}

}  // namespace
}  // namespace vel::media
