// The host end of a stream as a user runs it: `velmora stream serve` on bad launch parameters,
// `stream selftest` on a virtual screen, and `stream dev-listen` streaming to a viewer session.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "media/pulse_daemon.h"
#include "stream/control_messages.h"
#include "stream/endpoint.h"
#include "stream/record_bodies.h"
#include "stream/session.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "viewer/decoder_selection.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPsk = "00112233445566778899aabbccddeeff";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(StreamServe, RefusesMalformedLaunchParametersWithOneErrorLine) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::TempDir data;
    // A host document whose viewer key is two digits short.
    const std::string key(72, 'a');
    const std::string input = R"({"role":"host","hostToViewer":")" + key +
                              R"(","viewerToHost":")" + key.substr(0, 70) + "\"}";
    const test::ProcessResult result = test::RunProcess(
        {test::VelmoraBinary(), "stream", "serve"}, {"PROGRAMDATA=" + data.path()}, input);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_EQ(result.exitCode == -1, false) << "it exits, it does not crash";
    const std::string log = readFile(data.file("Velmora/VelmoraHost.log"));
    EXPECT_NE(log.find("[ERROR] serve: bad launch parameters: session keys are malformed"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(key), std::string::npos) << "no key material in the log";

    const test::ProcessResult viewerRole = test::RunProcess(
        {test::VelmoraBinary(), "stream", "serve"}, {"PROGRAMDATA=" + data.path()},
        R"({"role":"viewer","hostToViewer":")" + key + R"(","viewerToHost":")" + key + "\"}");
    EXPECT_NE(viewerRole.exitCode, 0);
}

TEST(StreamSelftest, PassesOnAVirtualScreenWithItsFrameCountClamped) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb server;
    std::string why;
    if (!server.start(320, 240, why)) GTEST_SKIP() << why;
    media::test::PulseDaemon pulse;  // the agent's machine has a sound server; nothing needs it
    test::TempDir scratch;
    const std::vector<std::string> env = {"DISPLAY=" + server.display()};

    const test::ProcessResult few = test::RunProcess(
        {test::VelmoraBinary(), "stream", "selftest", "--frames", "5", "--encoder", "mf-sw",
         "--cpu-path", "--out", scratch.file("out.h264")},
        env);
    EXPECT_EQ(few.exitCode, 0) << few.output;
    EXPECT_NE(few.output.find("capture: X11"), std::string::npos) << few.output;
    EXPECT_NE(few.output.find("encoder: libx264"), std::string::npos) << few.output;
    EXPECT_NE(few.output.find("pixel path: CPU (readback -> convert -> encoder)"),
              std::string::npos);
    EXPECT_NE(few.output.find("frames: 10 captured, 10 encoded"), std::string::npos)
        << few.output;
    EXPECT_NE(few.output.find(", 10 decoded"), std::string::npos) << few.output;
    EXPECT_NE(few.output.find("\nresult: PASS\n"), std::string::npos) << few.output;
    // The written stream starts with an Annex-B start code.
    EXPECT_EQ(readFile(scratch.file("out.h264")).substr(0, 4), std::string("\0\0\0\1", 4));

    const test::ProcessResult many = test::RunProcess(
        {test::VelmoraBinary(), "stream", "selftest", "--frames", "10000", "--encoder", "mf-sw"},
        env);
    EXPECT_NE(many.output.find("frames: 3600 captured, 3600 encoded"), std::string::npos)
        << many.output;
    EXPECT_NE(many.output.find("\nresult: PASS\n"), std::string::npos) << many.output;
}

// A viewer's end of the session, kept in the test.
struct TestViewer {
    std::mutex mutex;
    std::vector<stream::AssembledFrame> frames;  // guarded by mutex
    std::set<std::uint8_t> messageIds;           // guarded by mutex
    std::optional<stream::HostStatistics> statistics;  // guarded by mutex
    std::optional<stream::PointerPosition> pointer;    // guarded by mutex
    std::atomic<int> audioBlocks{0};
    stream::Session session;

    bool start(std::uint16_t hostPort, std::string& error) {
        stream::SessionTicket ticket;
        if (!stream::deriveDevTicket(kPsk, ticket, error)) return false;
        stream::SessionParams params;
        params.role = stream::kRoleViewer;
        params.connId = ticket.connId;
        params.keys = ticket.keys;
        stream::Endpoint host;
        if (!stream::parseEndpoint("127.0.0.1", hostPort, host)) return false;
        params.candidates = {host};
        stream::SessionCallbacks callbacks;
        callbacks.frame = [this](stream::AssembledFrame&& frame) {
            std::lock_guard lock(mutex);
            frames.push_back(std::move(frame));
        };
        callbacks.message = [this](stream::Channel, std::vector<std::uint8_t>&& message) {
            std::lock_guard lock(mutex);
            if (!message.empty()) messageIds.insert(message[0]);
            if (auto s = stream::decodeHostStatistics(message)) statistics = s;
            if (auto p = stream::decodePointerPosition(message)) pointer = p;
        };
        callbacks.audio = [this](std::uint32_t, std::uint64_t, std::uint8_t codec,
                                 std::span<const std::uint8_t>) {
            if (codec == 2) ++audioBlocks;
        };
        return session.start(params, std::move(callbacks), error);
    }

    template <typename Done>
    bool waitUntil(Done done, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex);
                if (done()) return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
};

TEST(StreamDevListen, StreamsVideoStatisticsPointerAndAudioAndTakesInput) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb server;
    std::string why;
    if (!server.start(640, 480, why)) GTEST_SKIP() << why;
    media::test::PulseDaemon pulse;
    const std::uint16_t port = freeUdpPort();
    test::TempDir scratch;
    test::BackgroundProcess host;
    ASSERT_TRUE(host.start({test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk, "--port",
                            std::to_string(port), "--bias", "150", "--voice-out", "none",
                            "--encoder", "mf-sw", "--record", scratch.file("rec.h264")},
                           {"DISPLAY=" + server.display()}));
    ASSERT_TRUE(host.waitForOutput("waiting for a viewer", 10s)) << host.output();
    EXPECT_NE(host.output().find("WARNING: development mode"), std::string::npos);

    TestViewer viewer;
    std::string error;
    ASSERT_TRUE(viewer.start(port, error)) << error;
    ASSERT_TRUE(viewer.waitUntil([&] { return viewer.session.state() == stream::SessionState::connected; }, 10s));
    ASSERT_TRUE(viewer.session.sendMessage(stream::encodeViewerScreen({640, 480, 60, 0})));
    // Shift pressed and released: two injected events, two counted inputs.
    ASSERT_TRUE(viewer.session.sendOnChannel(stream::Channel::Input, stream::encodeKeyEvent({0x2A, 1})));
    ASSERT_TRUE(viewer.session.sendOnChannel(stream::Channel::Input, stream::encodeKeyEvent({0x2A, 0})));

    const bool streamed = viewer.waitUntil(
        [&] {
            return !viewer.frames.empty() && viewer.statistics.has_value() &&
                   viewer.pointer.has_value();
        },
        20s);
    ASSERT_TRUE(streamed) << host.output();
    ASSERT_TRUE(host.waitForOutput("input 2 |", 10s)) << host.output();
    // --bias 150 is clamped to 100.
    EXPECT_NE(host.output().find("| bias 100 auto |"), std::string::npos) << host.output();
    {
        std::lock_guard lock(viewer.mutex);
        const stream::AssembledFrame& first = viewer.frames.front();
        EXPECT_TRUE(first.flags & stream::kFragmentKeyframe);
        EXPECT_EQ(first.codec, 1);
        // The first frame decodes to the whole virtual screen.
        auto decoder = viewer::createVideoDecoder(first.codec, viewer::kDecodeSoftwareOnly, error);
        ASSERT_TRUE(decoder) << error;
        std::vector<viewer::DecodedFrame> pictures;
        EXPECT_TRUE(decoder->decode(first.data, 0, true, pictures));
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].width, 640);
        EXPECT_EQ(pictures[0].height, 480);
        EXPECT_EQ(viewer.statistics->bias, 100u);
        EXPECT_EQ(viewer.pointer->screenWidth, 640);
    }
    if (pulse.unavailable().empty()) {
        EXPECT_TRUE(viewer.waitUntil([&] { return viewer.audioBlocks > 0; }, 10s))
            << "no audio from the host's sound server";
    }

    viewer.session.close(0);
    EXPECT_EQ(host.waitForExit(15s), 0) << host.output();
    EXPECT_NE(host.output().find("session ended: closed by peer"), std::string::npos)
        << host.output();
    // The recording holds the same Annex-B stream, keyframe first.
    EXPECT_EQ(readFile(scratch.file("rec.h264")).substr(0, 4), std::string("\0\0\0\1", 4));
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

TEST(StreamDevListen, EmulatedLossStillDeliversFramesAndShowsInTheStatus) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    const test::ProcessResult bad = test::RunProcess(
        {test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk, "--emulate", "loss=x"});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.output.find("for testing only"), std::string::npos) << bad.output;

    test::Xvfb server;
    std::string why;
    if (!server.start(320, 240, why)) GTEST_SKIP() << why;
    const std::uint16_t port = freeUdpPort();
    test::BackgroundProcess host;
    ASSERT_TRUE(host.start({test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk, "--port",
                            std::to_string(port), "--no-audio", "--encoder", "mf-sw",
                            "--emulate", "loss=10,rate=4000000"},
                           {"DISPLAY=" + server.display()}));
    ASSERT_TRUE(host.waitForOutput("waiting for a viewer", 10s)) << host.output();
    EXPECT_NE(host.output().find("testing: emulating loss 10.0%"), std::string::npos);

    TestViewer viewer;
    std::string error;
    ASSERT_TRUE(viewer.start(port, error)) << error;
    // Lost shards are rebuilt from parity or sent again on the viewer's request.
    EXPECT_TRUE(viewer.waitUntil([&] { return viewer.frames.size() >= 60; }, 30s))
        << host.output();
    const std::regex lossShown("loss ([0-9.]+)%");
    bool lossSeen = false;
    for (int i = 0; i < 100 && !lossSeen; ++i) {
        const std::string out = host.output();
        for (std::sregex_iterator it(out.begin(), out.end(), lossShown), end; it != end; ++it)
            lossSeen = lossSeen || std::stod((*it)[1]) > 0;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(lossSeen) << host.output();
    viewer.session.close(0);
    EXPECT_EQ(host.waitForExit(15s), 0) << host.output();
}

}  // namespace
}  // namespace vel
