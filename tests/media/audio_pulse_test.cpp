// The audio threads against a real PulseAudio daemon that each test starts for itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "media/audio_capture.h"
#include "media/audio_playback.h"
#include "media/capture_run.h"
#include "media/pulse_daemon.h"

namespace vel::media {
namespace {

using namespace std::chrono_literals;
using test::CaptureRun;

// The levels the left channel holds (within 2) for at least 100 frames, in order, silence left out;
// a level the sink split with an underrun's silence counts once.
std::vector<int> plateaus(const std::vector<CaptureRun::Block>& blocks) {
    std::vector<std::int16_t> left;
    for (const CaptureRun::Block& b : blocks)
        for (std::size_t i = 0; i < b.samples.size(); i += 2) left.push_back(b.samples[i]);
    std::vector<int> levels;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= left.size(); ++i) {
        if (i < left.size() && std::abs(left[i] - left[start]) <= 2) continue;
        const bool repeat = !levels.empty() && std::abs(levels.back() - left[start]) <= 2;
        if (i - start >= 100 && std::abs(left[start]) > 2 && !repeat) levels.push_back(left[start]);
        start = i;
    }
    return levels;
}

// Levels equal within the rounding of two float conversions.
bool matches(const std::vector<int>& levels, const std::vector<int>& expected) {
    return levels.size() == expected.size() &&
           std::equal(levels.begin(), levels.end(), expected.begin(),
                      [](int a, int b) { return std::abs(a - b) <= 2; });
}

TEST(AudioPulseTest, DevicesAreListedAndStartupFailuresCarryPulseAudioErrorText) {
    {
        test::PulseDaemon daemon;
        if (!daemon.unavailable().empty()) GTEST_SKIP() << daemon.unavailable();
        const auto sinks = listAudioDevices(true);
        ASSERT_EQ(sinks.size(), 1u);
        EXPECT_EQ(sinks[0].id, "velmora_test");
        EXPECT_EQ(sinks[0].friendlyName, "Velmora-Test");
        EXPECT_TRUE(sinks[0].isDefault);
        // The sink's monitor is not a recording device.
        const auto sources = listAudioDevices(false);
        ASSERT_EQ(sources.size(), 1u);
        EXPECT_EQ(sources[0].id, "velmora_mic");
        EXPECT_TRUE(sources[0].isDefault);

        CaptureRun recorder(pulseAudioSystem(), AudioRole::Microphone, "no_such_source");
        ASSERT_TRUE(recorder.context().startup.waitFor(20s));
        EXPECT_EQ(recorder.context().startupError, "audio device by id failed: No such entity");
        AudioPlaybackContext playback;
        playback.deviceId = "no_such_sink";
        std::thread thread([&] { audioPlaybackThread(playback); });
        thread.join();
        EXPECT_EQ(playback.startupError, "audio playback device failed: No such entity");
    }
    // With the daemon gone the connection itself fails.
    ::setenv("PULSE_SERVER", "unix:/nonexistent/velmora-native", 1);
    CaptureRun recorder(pulseAudioSystem());
    ASSERT_TRUE(recorder.context().startup.waitFor(20s));
    EXPECT_EQ(recorder.context().startupError.rfind("pa_context_connect failed: ", 0), 0u)
        << recorder.context().startupError;
    EXPECT_TRUE(listAudioDevices(true).empty());
    ::unsetenv("PULSE_SERVER");  // as the daemon left it
}

TEST(AudioPulseTest, JitterBufferBlocksReachTheSinkMonitorInOrder) {
    test::PulseDaemon daemon;
    if (!daemon.unavailable().empty()) GTEST_SKIP() << daemon.unavailable();
    CaptureRun recorder(pulseAudioSystem(), AudioRole::Loopback, "velmora_test.monitor");
    ASSERT_TRUE(recorder.context().startup.waitFor(20s));
    ASSERT_TRUE(recorder.context().started) << recorder.context().startupError;

    AudioPlaybackContext playback;
    playback.deviceId = "velmora_test";
    std::thread player([&] { audioPlaybackThread(playback); });
    const bool started = playback.startup.waitFor(20s) && playback.started;
    // Let the sink settle with the stream's silence before the viewer's blocks arrive.
    recorder.waitForBlocks(recorder.waitUntil([](const auto&) { return true; }).size() + 30);

    // Ten blocks, each a constant level, arriving out of order.
    for (std::uint32_t s : {500u, 502u, 501u, 503u, 504u, 509u, 505u, 507u, 506u, 508u}) {
        AudioBlock block;
        block.fill(static_cast<std::int16_t>((s - 499) * 2000));
        playback.jitter.push(s, block);
    }
    const std::vector<int> expected = {2000,  4000,  6000,  8000,  10000,
                                       12000, 14000, 16000, 18000, 20000};
    const std::vector<int> levels = plateaus(recorder.waitUntil(
        [&](const auto& blocks) { return matches(plateaus(blocks), expected); }));
    playback.stop = true;
    player.join();
    ASSERT_TRUE(started) << playback.startupError;
    EXPECT_TRUE(matches(levels, expected)) << testing::PrintToString(levels);
    EXPECT_EQ(playback.jitter.stats().played, 10u);
}

}  // namespace
}  // namespace vel::media
