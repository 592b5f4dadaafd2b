// The host agent and the viewer as real processes on Xvfb and PulseAudio: `velmora stream serve`
// on bad and good launch parameters, `stream selftest`, and `stream dev-listen` against
// `velmora-client view`, the picture compared with what the host's screen showed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "media/pulse_daemon.h"
#include "os/files.h"
#include "stream/control_messages.h"
#include "stream/launch_params.h"
#include "stream/session.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/gate_process.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/wait_until.h"
#include "support/xvfb.h"

// Last: Xlib's macros would break the headers above.
// clang-format off
#include "integration/test_picture.h"
// clang-format on

namespace vel {
namespace {

using namespace std::chrono_literals;
using test::BackgroundProcess;

const std::string kPsk = "5e1f0c2a9b8d7e6f5a4b3c2d1e0f9a8b";

std::string readFile(const std::string& path) {
    std::string text;
    static_cast<void>(ReadFileText(path, text));
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(StreamSelftest, PassesOnAVirtualScreenWithItsFrameCountClamped) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb server;
    std::string why;
    if (!server.start(320, 240, why)) GTEST_SKIP() << why;
    media::test::PulseDaemon pulse;  // the agent's machine has a sound server; nothing needs it
    test::TempDir scratch;
    const std::vector<std::string> env = {"DISPLAY=" + server.display()};

    const test::ProcessResult few =
        test::RunProcess({test::VelmoraBinary(), "stream", "selftest", "--frames", "5", "--encoder",
                          "mf-sw", "--cpu-path", "--out", scratch.file("out.h264")},
                         env);
    EXPECT_EQ(few.exitCode, 0) << few.output;
    for (const char* line :
         {"capture: X11", "encoder: libx264", "pixel path: CPU (readback -> convert -> encoder)",
          "frames: 10 captured, 10 encoded", ", 10 decoded", "\nresult: PASS\n"})
        EXPECT_TRUE(contains(few.output, line)) << line << "\n" << few.output;
    // The written stream starts with an Annex-B start code.
    EXPECT_EQ(readFile(scratch.file("out.h264")).substr(0, 4), std::string("\0\0\0\1", 4));

    const test::ProcessResult many = test::RunProcess(
        {test::VelmoraBinary(), "stream", "selftest", "--frames", "10000", "--encoder", "mf-sw"},
        env);
    EXPECT_TRUE(contains(many.output, "frames: 3600 captured, 3600 encoded")) << many.output;
    EXPECT_TRUE(contains(many.output, "\nresult: PASS\n")) << many.output;
}

// The agent as the gate starts it: launch parameters on standard input, a viewer session kept in
// the test, the designed log lines at the start and the end; malformed ones end it at once.
TEST(StreamServe, RunsOneSessionFromItsLaunchParametersAndRefusesMalformedOnes) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb server;
    std::string why;
    if (!server.start(320, 240, why)) GTEST_SKIP() << why;
    test::TempDir data;
    // A host document whose viewer key is two digits short.
    const std::string key(72, 'a');
    const test::ProcessResult shortKey =
        test::RunProcess({test::VelmoraBinary(), "stream", "serve"}, {"PROGRAMDATA=" + data.path()},
                         R"({"role":"host","hostToViewer":")" + key + R"(","viewerToHost":")" +
                             key.substr(0, 70) + "\"}");
    EXPECT_GT(shortKey.exitCode, 0) << "a failure status, not a crash";
    std::string log = readFile(data.file("Velmora/VelmoraHost.log"));
    EXPECT_TRUE(contains(log, "[ERROR] serve: bad launch parameters: session keys are malformed"))
        << log;
    EXPECT_FALSE(contains(log, key)) << "no key material in the log";

    stream::SessionTicket ticket;
    ASSERT_TRUE(stream::deriveDevTicket(kPsk, ticket, why)) << why;
    stream::LaunchParams params;
    params.role = stream::kRoleHost;
    params.connId = ticket.connId;
    params.keys = ticket.keys;
    params.localPort = test::FreePort(SOCK_DGRAM);
    const std::uint16_t viewerPort = test::FreePort(SOCK_DGRAM);
    // The viewer's address, one that is not an address at all, and one without a port.
    params.candidates = {"127.0.0.1:" + std::to_string(viewerPort), "viewer.invalid", "192.0.2.9"};
    params.audio = false;
    params.encoder = "mf-sw";
    test::BackgroundProcess host;
    ASSERT_TRUE(host.start({test::VelmoraBinary(), "stream", "serve"},
                           {"PROGRAMDATA=" + data.path(), "DISPLAY=" + server.display()},
                           stream::serializeLaunchParams(params)));

    std::atomic<std::size_t> frames{0};
    stream::SessionParams viewerParams;
    viewerParams.role = stream::kRoleViewer;
    viewerParams.connId = ticket.connId;
    viewerParams.keys = ticket.keys;
    viewerParams.localPort = viewerPort;
    stream::Endpoint hostAddress;
    ASSERT_TRUE(stream::parseEndpoint("127.0.0.1", params.localPort, hostAddress));
    viewerParams.candidates = {hostAddress};
    stream::SessionCallbacks callbacks;
    callbacks.frame = [&](stream::AssembledFrame&&) { ++frames; };
    stream::Session viewer;
    ASSERT_TRUE(viewer.start(viewerParams, std::move(callbacks), why)) << why;
    EXPECT_TRUE(test::WaitUntil([&] { return frames >= 5; }, 20s)) << host.output();
    ASSERT_TRUE(viewer.sendOnChannel(stream::Channel::Input, stream::encodeInputKeepAlive()));
    std::this_thread::sleep_for(500ms);  // the input on its way before the close
    viewer.close(0);
    EXPECT_EQ(host.waitForExit(15s), 0) << host.output();

    log = readFile(data.file("Velmora/VelmoraHost.log"));
    char connId[9];
    std::snprintf(connId, sizeof connId, "%08X", params.connId);
    EXPECT_TRUE(contains(log, "serve: session " + std::string(connId) + " on UDP " +
                                  std::to_string(params.localPort) +
                                  ", 2 candidate(s), bias 50 auto, desktop '" + server.display() +
                                  "', "))
        << log;
    EXPECT_TRUE(contains(log, "serve: session over (closed by peer), ")) << log;
    EXPECT_TRUE(contains(log, " frames, 1 inputs")) << log;
}

// The picture dev-listen streams to the viewer.
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const std::string kClient = VELMORA_CLIENT_BINARY;

// Mean luma PSNR of the frames against the pictures their bar codes name, and their count.
struct Fidelity {
    double psnr = 0;
    std::size_t frames = 0;
};

Fidelity fidelity(const std::string& path) {
    const test::Y4mLuma video = test::readY4mLuma(path);
    Fidelity result;
    result.frames = video.frames.size();
    if (video.width != kWidth || video.height != kHeight || result.frames == 0) return result;
    for (const auto& frame : video.frames) {
        const auto expected =
            test::patternLuma(kWidth, kHeight, test::readPhase(frame.data(), kWidth));
        result.psnr += test::lumaPsnr(frame.data(), expected.data(), expected.size());
    }
    result.psnr /= static_cast<double>(result.frames);
    return result;
}

// A 1 kHz tone at half scale, 48 kHz stereo s16le, for pacat.
std::string writeTone(const test::TempDir& dir, int seconds) {
    const std::string path = dir.file("tone.raw");
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 48000 * seconds; ++i) {
        const auto s = static_cast<std::int16_t>(16384 * std::sin(2 * M_PI * 1000 * i / 48000.0));
        const char bytes[4] = {static_cast<char>(s & 0xFF), static_cast<char>(s >> 8),
                               static_cast<char>(s & 0xFF), static_cast<char>(s >> 8)};
        out.write(bytes, 4);
    }
    return path;
}

// Every figure the pattern's group matched in the output, in order.
std::vector<double> figures(const std::string& output, const std::string& pattern) {
    std::vector<double> values;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(output.begin(), output.end(), expression);
         it != std::sregex_iterator(); ++it) {
        values.push_back(std::stod((*it)[1]));
    }
    return values;
}

// The figure after `label` on the last status line of dev-listen that has one.
double lastFigure(const std::string& output, const std::string& label) {
    const std::vector<double> values = figures(output, label + " ([0-9.]+)");
    return values.empty() ? -1 : values.back();
}

TEST(StreamView, DevListenCarriesPictureInputAndSoundThroughLoss) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb xvfb;
    std::string why;
    if (!xvfb.start(kWidth, kHeight, why)) GTEST_SKIP() << why;
    media::test::PulseDaemon viewerSound;
    if (!viewerSound.unavailable().empty()) GTEST_SKIP() << viewerSound.unavailable();
    const std::string viewerPulse = "PULSE_SERVER=unix:" + viewerSound.dir().file("runtime/native");
    media::test::PulseDaemon hostSound;  // the last one started is this process's default
    if (!hostSound.unavailable().empty()) GTEST_SKIP() << hostSound.unavailable();
    const std::string hostPulse = "PULSE_SERVER=unix:" + hostSound.dir().file("runtime/native");
    test::PatternWindow window(xvfb.display(), kWidth, kHeight, true);
    ASSERT_TRUE(window.ok());
    test::TempDir dir;
    BackgroundProcess tone;
    ASSERT_TRUE(tone.start({"/usr/bin/pacat", "--raw", "--format=s16le", "--rate=48000",
                            "--channels=2", "--device=velmora_test", writeTone(dir, 120)},
                           {hostPulse}));

    // The viewer dials a listening host; both ends lose 5 % of what they send.
    const std::uint16_t hostPort = test::FreePort(SOCK_DGRAM);
    BackgroundProcess host;
    ASSERT_TRUE(host.start({test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk, "--port",
                            std::to_string(hostPort), "--emulate", "loss=5"},
                           {hostPulse}));
    const std::string dialled = dir.file("dialled.y4m");
    const test::ProcessResult viewer =
        test::RunProcess({kClient,      "view",      "--psk",
                          kPsk,         "--dial",    "127.0.0.1:" + std::to_string(hostPort),
                          "--headless", "--frames",  "150",
                          "--out",      dialled,     "--type",
                          "Velmora 42", "--click",   "200,300",
                          "--screen",   "1920x1080", "--emulate",
                          "loss=5",     "--timeout", "90"},
                         {viewerPulse});
    ASSERT_EQ(viewer.exitCode, 0) << viewer.output << host.output();

    const Fidelity seen = fidelity(dialled);
    EXPECT_EQ(seen.frames, 150u) << viewer.output;
    EXPECT_GT(seen.psnr, 30.0);

    std::string typed;
    std::vector<std::pair<int, int>> clicks;
    window.events(typed, clicks);
    EXPECT_EQ(typed, "Velmora 42");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_NEAR(clicks[0].first, 200, 2);
    EXPECT_NEAR(clicks[0].second, 300, 2);

    // The tone came through: blocks near its level (-9 dBFS RMS), played on the viewer's sink.
    std::smatch audio;
    ASSERT_TRUE(std::regex_search(
        viewer.output, audio,
        std::regex("audio: ([0-9]+) blocks, ([0-9]+) audible, peak (-?[0-9.]+) dBFS, (.*)")))
        << viewer.output;
    EXPECT_GE(std::stoi(audio[2]), 50) << viewer.output;
    EXPECT_NEAR(std::stod(audio[3]), -9.0, 3.0) << viewer.output;
    EXPECT_EQ(audio[4], "playing on the default playback device") << viewer.output;

    // dev-listen's status line filled from both ends: its own figures and the viewer's reports.
    EXPECT_EQ(host.interrupt(), 0);
    const std::string status = host.output();
    EXPECT_GT(lastFigure(status, "viewer dec"), 0) << status;
    EXPECT_GT(lastFigure(status, "e2e"), 0) << status;
    EXPECT_GE(lastFigure(status, "input"), 25) << status;  // 22 keystrokes, a move, a click
}

const char* const kHostBias = "host bias ([0-9]+)";

// Polls the viewer's status lines until one from index `from` on satisfies the condition; the
// index after it, or 0 when the deadline (a bound on a hang only) passed.
std::size_t waitForBias(BackgroundProcess& viewer, std::size_t from,
                        const std::function<bool(double)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline && viewer.running()) {
        const std::vector<double> biases = figures(viewer.output(), kHostBias);
        for (std::size_t i = from; i < biases.size(); ++i) {
            if (condition(biases[i])) return i + 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return 0;
}

// The automatic balance follows the link: a bottleneck put on the host's side of a veth pair
// (tc's token bucket) lowers the bias the host streams at, and taking it away raises it again.
TEST(StreamView, AutomaticBalanceGivesWayToASqueezedLinkAndComesBack) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::TestNetwork net({"10.231.77"});
    if (const std::string why = test::PrepareEnforcingNetwork(net); !why.empty()) {
        GTEST_SKIP() << why;
    }
    test::Xvfb xvfb;
    std::string why;
    // A small screen keeps the encoder's share of a frame interval, the balance's compute
    // pressure, low on a busy machine, so the network decides.
    if (!xvfb.start(640, 360, why)) GTEST_SKIP() << why;
    test::PatternWindow window(xvfb.display(), 640, 360, true);
    ASSERT_TRUE(window.ok());

    std::vector<std::string> hostArgs = net.execIn(net.machine());
    hostArgs.insert(hostArgs.end(), {test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk,
                                     "--port", "7441", "--no-audio", "--no-input"});
    BackgroundProcess host;
    ASSERT_TRUE(host.start(hostArgs));
    std::vector<std::string> viewerArgs = net.execIn(net.client(0));
    viewerArgs.insert(viewerArgs.end(),
                      {kClient, "view", "--psk", kPsk, "--dial", net.machineAddress(0) + ":7441",
                       "--headless", "--audio-out", "none", "--timeout", "240"});
    BackgroundProcess viewer;
    ASSERT_TRUE(viewer.start(viewerArgs));

    // The balance weighs network against compute pressure, and compute here includes the
    // machine's load from whatever else runs, so the test looks for the direction of each move:
    // down once the link is squeezed, up once it is free again.
    std::size_t at = waitForBias(viewer, 4, [](double) { return true; });
    ASSERT_NE(at, 0u) << viewer.output() << host.output();
    double peak = figures(viewer.output(), kHostBias)[at - 1];
    ASSERT_GT(peak, 0) << "the free link already runs at the lowest bias";

    const test::ProcessResult squeeze =
        net.run(net.machine(), {"tc", "qdisc", "add", "dev", "m0", "root", "tbf", "rate", "1mbit",
                                "burst", "16kb", "latency", "40ms"});
    if (squeeze.exitCode != 0) GTEST_SKIP() << "tc cannot shape the link: " << squeeze.output;
    const auto decodedCounts = [&] { return figures(viewer.output(), "frames ([0-9]+) decoded"); };
    const std::size_t squeezedFrom = decodedCounts().size();
    at = waitForBias(viewer, at, [&](double bias) {
        peak = std::max(peak, bias);
        return bias < peak;
    });
    ASSERT_NE(at, 0u) << "squeezed, yet the bias did not go down: " << viewer.output()
                      << host.output();
    // The picture keeps moving on the squeezed link, also before the balance has moved: the first
    // two status lines give the rate controller time to find the link, then every further line
    // (one a second, at least six in all) must count new pictures.
    while (viewer.running() && decodedCounts().size() < squeezedFrom + 6) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const std::vector<double> decoded = decodedCounts();
    ASSERT_GE(decoded.size(), squeezedFrom + 6) << viewer.output();
    const std::size_t lines = decoded.size() - 1 - (squeezedFrom + 2);
    EXPECT_GE(decoded.back() - decoded[squeezedFrom + 2], static_cast<double>(5 * lines))
        << "the picture froze on the squeezed link: " << viewer.output() << host.output();

    ASSERT_EQ(net.run(net.machine(), {"tc", "qdisc", "del", "dev", "m0", "root"}).exitCode, 0);
    double trough = figures(viewer.output(), kHostBias)[at - 1];
    at = waitForBias(viewer, at, [&](double bias) {
        trough = std::min(trough, bias);
        return bias > trough;
    });
    EXPECT_NE(at, 0u) << "released, yet the bias did not go up: " << viewer.output()
                      << host.output();
}

}  // namespace
}  // namespace vel
