#include "media/audio_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "core/time.h"
#include "media/audio_block.h"
#include "media/capture_run.h"
#include "media/fake_audio_system.h"

namespace vel::media {
namespace {

using namespace std::chrono_literals;
using test::CaptureRun;

constexpr float kHalf = 0.5f;

TEST(AudioCaptureTest, A44kHzFloatDeviceGivesConsecutive10MsBlocksAt48kHzUntilTheServerFails) {
    test::FakeAudioSystem system;
    system.captureFormat = {44100, 2, 32, true};
    // 100 packets of 300 frames: 30,000 device frames make 32,653 stream frames, 68 blocks.
    std::vector<std::uint8_t> packet(300 * 2 * 4);
    for (std::size_t i = 0; i < packet.size(); i += 4) std::memcpy(&packet[i], &kHalf, 4);
    for (int p = 0; p < 100; ++p) system.queuePacket(packet);
    const std::int64_t before = MonotonicMicros();
    CaptureRun run(system);
    ASSERT_TRUE(run.context().startup.waitFor(10s));
    EXPECT_TRUE(run.context().started);
    EXPECT_EQ(run.context().deviceName, "Fake Monitor");
    const auto blocks = run.waitForBlocks(68);
    ASSERT_EQ(blocks.size(), 68u);
    // The very first frame interpolates from the silence before the stream; then a steady level.
    EXPECT_EQ(blocks[0].samples[0], 0);
    EXPECT_EQ(blocks[0].samples[4], 16384);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        ASSERT_EQ(blocks[b].samples.size(), kBlockSamples);
        EXPECT_EQ(blocks[b].timestampUs,
                  blocks[0].timestampUs + static_cast<std::int64_t>(b) * 10000);
    }
    // Stamped with the capture time of the first frame: before delivery, on the same clock.
    EXPECT_GE(blocks[0].timestampUs, before - 300 * 1000000 / 44100);
    EXPECT_LE(blocks[0].timestampUs, blocks[0].deliveredUs);

    // A server failure ends the thread by itself and clears started, without a startup error.
    system.failCapture();
    run.join();
    EXPECT_FALSE(run.context().started);
    EXPECT_TRUE(run.context().startupError.empty());
}

TEST(AudioCaptureTest, MonoMicrophoneAndGapsBecomeStereoBlocks) {
    test::FakeAudioSystem system;
    system.captureFormat = {48000, 1, 16, false};
    std::vector<std::uint8_t> ramp;
    for (int f = 0; f < 240; ++f) {
        ramp.push_back(static_cast<std::uint8_t>(f));
        ramp.push_back(0);
    }
    system.queuePacket(ramp);
    system.queuePacket({}, 240);  // the server reports a gap
    CaptureRun run(system, AudioRole::Microphone, "alsa_input.usb-mic");
    const auto blocks = run.waitForBlocks(1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(system.openedRole, AudioRole::Microphone);
    EXPECT_EQ(system.openedDevice, "alsa_input.usb-mic");
    for (std::size_t f = 0; f < 480; ++f) {
        const std::int16_t expected = f < 240 ? static_cast<std::int16_t>(f) : 0;
        ASSERT_EQ(blocks[0].samples[f * 2], expected) << f;
        ASSERT_EQ(blocks[0].samples[f * 2 + 1], expected) << f;
    }
}

}  // namespace
}  // namespace vel::media
