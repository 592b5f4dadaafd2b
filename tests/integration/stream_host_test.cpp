// The host end of a stream as the gate and a user run it: `velmora stream serve` on bad and good
// launch parameters, and `stream selftest` on a virtual screen. Streaming between dev-listen and
// the viewer is shown in stream_view_test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "integration/free_udp_port.h"
#include "media/pulse_daemon.h"
#include "os/files.h"
#include "stream/control_messages.h"
#include "stream/launch_params.h"
#include "stream/session.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "support/xvfb.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPsk = "00112233445566778899aabbccddeeff";

std::string readFile(const std::string& path) {
    std::string text;
    static_cast<void>(ReadFileText(path, text));
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(StreamServe, RefusesMalformedLaunchParametersWithOneErrorLine) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::TempDir data;
    // A host document whose viewer key is two digits short.
    const std::string key(72, 'a');
    const test::ProcessResult shortKey =
        test::RunProcess({test::VelmoraBinary(), "stream", "serve"}, {"PROGRAMDATA=" + data.path()},
                         R"({"role":"host","hostToViewer":")" + key + R"(","viewerToHost":")" +
                             key.substr(0, 70) + "\"}");
    EXPECT_GT(shortKey.exitCode, 0) << "a failure status, not a crash";
    const std::string log = readFile(data.file("Velmora/VelmoraHost.log"));
    EXPECT_TRUE(contains(log, "[ERROR] serve: bad launch parameters: session keys are malformed"))
        << log;
    EXPECT_FALSE(contains(log, key)) << "no key material in the log";
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
// the test, the designed log lines at the start and the end.
TEST(StreamServe, RunsOneSessionFromItsLaunchParametersAndLogsItsEnd) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb server;
    std::string why;
    if (!server.start(320, 240, why)) GTEST_SKIP() << why;
    stream::SessionTicket ticket;
    ASSERT_TRUE(stream::deriveDevTicket(kPsk, ticket, why)) << why;
    stream::LaunchParams params;
    params.role = stream::kRoleHost;
    params.connId = ticket.connId;
    params.keys = ticket.keys;
    params.localPort = test::FreeUdpPort();
    const std::uint16_t viewerPort = test::FreeUdpPort();
    // The viewer's address, one that is not an address at all, and one without a port.
    params.candidates = {"127.0.0.1:" + std::to_string(viewerPort), "viewer.invalid", "192.0.2.9"};
    params.audio = false;
    params.encoder = "mf-sw";
    test::TempDir data;
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

    const std::string log = readFile(data.file("Velmora/VelmoraHost.log"));
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

}  // namespace
}  // namespace vel
