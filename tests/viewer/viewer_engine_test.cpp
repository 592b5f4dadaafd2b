#include "viewer/viewer_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "support/temp_dir.h"
#include "viewer/sample_stream.h"

namespace vel::viewer {
namespace {

using namespace std::chrono_literals;

// Polls until the condition holds; the deadline only bounds a hang.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The host end, driven by hand: a real session that records what the viewer sends.
struct Host {
    stream::Session session;
    std::mutex mutex;
    std::vector<std::pair<stream::Channel, stream::Message>> messages;  // guarded by mutex
    int keyframeRequests = 0;                                           // guarded by mutex

    explicit Host(const stream::SessionTicket& ticket) {
        stream::SessionParams params;
        params.role = stream::kRoleHost;
        params.connId = ticket.connId;
        params.keys = ticket.keys;
        stream::SessionCallbacks callbacks;
        callbacks.message = [this](stream::Channel channel, std::vector<std::uint8_t>&& m) {
            const std::lock_guard lock(mutex);
            messages.emplace_back(channel, std::move(m));
        };
        callbacks.keyframeRequest = [this] {
            const std::lock_guard lock(mutex);
            ++keyframeRequests;
        };
        std::string error;
        EXPECT_TRUE(session.start(params, std::move(callbacks), error)) << error;
    }
    // The messages with this id, in arrival order.
    std::vector<std::pair<stream::Channel, stream::Message>> withId(std::uint8_t id) {
        const std::lock_guard lock(mutex);
        std::vector<std::pair<stream::Channel, stream::Message>> found;
        for (const auto& m : messages) {
            if (!m.second.empty() && m.second[0] == id) found.push_back(m);
        }
        return found;
    }
    int requests() {
        const std::lock_guard lock(mutex);
        return keyframeRequests;
    }
    void sendFrame(const std::vector<std::uint8_t>& unit, bool keyframe) {
        stream::VideoFrameInfo info;
        info.keyframe = keyframe;
        info.codec = kCodecH264;
        info.encodeMicros = 2000;
        EXPECT_TRUE(session.sendVideoFrame(unit, info));
    }
};

TEST(ViewerEngine, DecodesFromAKeyframeAnswersTheHostAndSendsInput) {
    vel::test::TempDir dir;
    const std::string file = dir.file("in.h264");
    const vel::test::ProcessResult made = sample::makeTestStream(kCodecH264, 12, file);
    if (made.exitCode != 0) GTEST_SKIP() << "ffmpeg cannot make the test stream: " << made.output;
    const auto units = sample::accessUnits(sample::readBytes(file), kCodecH264);
    ASSERT_EQ(units.size(), 12u);

    stream::SessionTicket ticket;
    std::string error;
    ASSERT_TRUE(stream::deriveDevTicket("000102030405060708090a0b0c0d0e0f", ticket, error));
    Host host(ticket);

    std::mutex seenMutex;
    std::vector<std::uint32_t> seenIds;
    ViewerOptions options;
    options.session.connId = ticket.connId;
    options.session.keys = ticket.keys;
    stream::Endpoint hostAddress;
    ASSERT_TRUE(stream::parseEndpoint("127.0.0.1", host.session.localPort(), hostAddress));
    options.session.candidates = {hostAddress};
    options.screen = {2560, 1440, 144, stream::kScreenWantsNative};
    options.format = PictureFormat::Bgra;
    options.audio = false;  // the host's sound end to end: stream_view_test
    options.onPicture = [&](const std::shared_ptr<const ViewerPicture>& picture) {
        const std::lock_guard lock(seenMutex);
        seenIds.push_back(picture->frameId);
    };
    ViewerEngine engine;
    ASSERT_TRUE(engine.start(options, error)) << error;
    ASSERT_TRUE(
        eventually([&] { return host.session.state() == stream::SessionState::connected; }));

    // The screen goes out as soon as the session connects.
    ASSERT_TRUE(eventually([&] { return !host.withId(stream::kMsgViewerScreen).empty(); }));
    EXPECT_EQ(stream::decodeViewerScreen(host.withId(stream::kMsgViewerScreen)[0].second),
              options.screen);

    // A stream that starts in the middle cannot be decoded: the viewer skips and asks.
    host.sendFrame(units[1], false);
    ASSERT_TRUE(eventually([&] { return host.requests() >= 1; }));
    for (std::size_t i = 0; i < units.size(); ++i) host.sendFrame(units[i], i % 5 == 0);
    ASSERT_TRUE(eventually([&] { return engine.stats().framesDecoded == 12; }))
        << engine.stats().framesReceived << " received, " << engine.stats().framesDecoded
        << " decoded, " << engine.stats().framesSkipped << " skipped, "
        << engine.stats().decodeFailures << " failed, " << engine.stats().framesOverrun
        << " overrun";
    const std::shared_ptr<const ViewerPicture> last = engine.latestPicture();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->width, 320);
    EXPECT_EQ(last->height, 240);
    EXPECT_EQ(last->pixels.size(), 320u * 240 * 4);
    EXPECT_EQ(last->hostEncodeUs, 2000u);
    {
        const std::lock_guard lock(seenMutex);
        ASSERT_EQ(seenIds.size(), 12u);
        for (std::size_t i = 1; i < seenIds.size(); ++i) EXPECT_EQ(seenIds[i], seenIds[i - 1] + 1);
        EXPECT_EQ(last->frameId, seenIds.back());
    }
    EXPECT_EQ(engine.stats().framesSkipped, 1u);
    EXPECT_EQ(engine.stats().decoder, "libavcodec h264");

    // The host's statistics and pointer are kept as they come.
    const stream::HostStatistics hostStats{1200, 800, 4000, 60, 1, 8000, 75};
    ASSERT_TRUE(host.session.sendMessage(stream::encodeHostStatistics(hostStats)));
    const stream::PointerPosition pointer{15, -3, true, 7, 320, 240};
    ASSERT_TRUE(host.session.sendMessage(stream::encodePointerPosition(pointer)));
    ASSERT_TRUE(eventually([&] { return engine.pointer() == pointer; }));
    EXPECT_EQ(engine.stats().host, hostStats);

    // Input travels on the input channel, in order.
    ASSERT_TRUE(engine.sendKey(0x1D, true, true));
    ASSERT_TRUE(engine.sendReleaseAll());
    ASSERT_TRUE(eventually([&] { return !host.withId(stream::kMsgReleaseAll).empty(); }));
    const auto keys = host.withId(stream::kMsgKey);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].first, stream::Channel::Input);
    EXPECT_EQ(stream::decodeKeyEvent(keys[0].second), (stream::KeyEvent{0x1D, 3}));

    engine.stop();
    EXPECT_TRUE(eventually([&] { return host.session.state() == stream::SessionState::closed; }));
    EXPECT_EQ(engine.stats().endReason, "closed locally");
}

}  // namespace
}  // namespace vel::viewer
