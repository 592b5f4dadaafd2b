#include "viewer/viewer_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include "support/process.h"
#include "support/temp_dir.h"

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

// ffmpeg's testsrc2 at 320x240 as H.264, a keyframe every 5 frames, split into access units at
// their delimiters; empty when ffmpeg cannot make it.
std::vector<std::vector<std::uint8_t>> testStream(int frames, std::string& why) {
    vel::test::TempDir dir;
    const std::string path = dir.file("in.h264");
    // clang-format off
    const vel::test::ProcessResult made = vel::test::RunProcess(
        {"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
         "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p", "-c:v", "libx264",
         "-bf", "0", "-g", "5", "-bsf:v", "h264_metadata=aud=insert", path});
    // clang-format on
    why = made.output;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> stream{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && stream[i + 3] == 0x09) {
            starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
        }
    }
    std::vector<std::vector<std::uint8_t>> units;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
        units.emplace_back(stream.begin() + std::ptrdiff_t(starts[k]),
                           stream.begin() + std::ptrdiff_t(end));
    }
    return units;
}

// The host end, driven by hand: a real session that records what the viewer sends.
struct Host {
    stream::Session session;
    std::mutex mutex;
    std::vector<stream::Message> messages;  // guarded by mutex

    explicit Host(const stream::SessionTicket& ticket) {
        stream::SessionParams params;
        params.role = stream::kRoleHost;
        params.connId = ticket.connId;
        params.keys = ticket.keys;
        stream::SessionCallbacks callbacks;
        callbacks.message = [this](stream::Channel, std::vector<std::uint8_t>&& m) {
            const std::lock_guard lock(mutex);
            messages.push_back(std::move(m));
        };
        std::string error;
        EXPECT_TRUE(session.start(params, std::move(callbacks), error)) << error;
    }
    std::optional<stream::ViewerScreen> screen() {
        const std::lock_guard lock(mutex);
        for (const auto& m : messages) {
            if (auto screen = stream::decodeViewerScreen(m)) return screen;
        }
        return std::nullopt;
    }
    void sendFrame(const std::vector<std::uint8_t>& unit, bool keyframe) {
        stream::VideoFrameInfo info;
        info.keyframe = keyframe;
        info.codec = kCodecH264;
        EXPECT_TRUE(session.sendVideoFrame(unit, info));
    }
};

// Pictures, input and the host's statistics end to end are the view integration test's; this
// is what it cannot see: the first message, the request for a keyframe, and every unit decoded.
TEST(ViewerEngine, SendsItsScreenAsksForAKeyframeAndDecodesEveryUnitFromIt) {
    std::string why;
    const auto units = testStream(12, why);
    if (units.size() != 12) GTEST_SKIP() << "ffmpeg cannot make the test stream: " << why;

    stream::SessionTicket ticket;
    std::string error;
    ASSERT_TRUE(stream::deriveDevTicket("000102030405060708090a0b0c0d0e0f", ticket, error));
    Host host(ticket);
    ViewerOptions options;
    options.session.connId = ticket.connId;
    options.session.keys = ticket.keys;
    stream::Endpoint hostAddress;
    ASSERT_TRUE(stream::parseEndpoint("127.0.0.1", host.session.localPort(), hostAddress));
    options.session.candidates = {hostAddress};
    options.screen = {2560, 1440, 144, stream::kScreenWantsNative};
    options.format = PictureFormat::Bgra;
    options.audio = false;
    ViewerEngine engine;
    ASSERT_TRUE(engine.start(options, error)) << error;
    ASSERT_TRUE(eventually([&] { return host.screen().has_value(); }));
    EXPECT_EQ(host.screen(), options.screen);

    // A stream that starts in the middle cannot be decoded: the viewer skips and asks (the
    // session test carries such a request to the host).
    host.sendFrame(units[1], false);
    ASSERT_TRUE(eventually([&] { return engine.stats().keyframeRequests >= 1; }));
    for (std::size_t i = 0; i < units.size(); ++i) host.sendFrame(units[i], i % 5 == 0);
    ASSERT_TRUE(eventually([&] { return engine.stats().framesDecoded == 12; }))
        << engine.stats().framesDecoded;
    EXPECT_EQ(engine.stats().framesSkipped, 1u);
    const std::shared_ptr<const ViewerPicture> last = engine.latestPicture();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->pixels.size(), 320u * 240 * 4);

    // The host's pointer is kept as it comes.
    const stream::PointerPosition pointer{15, -3, true, 7, 320, 240};
    ASSERT_TRUE(host.session.sendMessage(stream::encodePointerPosition(pointer)));
    ASSERT_TRUE(eventually([&] { return engine.pointer() == pointer; }));

    engine.stop();
    EXPECT_EQ(engine.stats().endReason, "closed locally");
}

}  // namespace
}  // namespace vel::viewer
