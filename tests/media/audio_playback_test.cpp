#include "media/audio_playback.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/fake_audio_system.h"

namespace vel::media {
namespace {

// Blocks in order through the jitter buffer to a device are shown against PulseAudio; here the
// conversion to another device format.
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
    audioPlaybackThread(context);  // returns once the fake device has taken its frames and failed
    const std::vector<std::uint8_t> written = system.written();
    EXPECT_FALSE(context.started) << "the device failed";
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
