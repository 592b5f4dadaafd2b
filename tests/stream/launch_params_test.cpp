#include "stream/launch_params.h"

#include <gtest/gtest.h>

#include "core/json.h"

namespace vel::stream {
namespace {

constexpr const char* kKeyA =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20212223";
constexpr const char* kKeyB =
    "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBFC0C1C2C3";

std::string document(const std::string& members) {
    return std::string(R"({"role":"host","hostToViewer":")") + kKeyA + R"(","viewerToHost":")" +
           kKeyB + "\"" + (members.empty() ? "" : "," + members) + "}";
}

LaunchParams parsed(const std::string& text) {
    LaunchParams params;
    std::string error;
    EXPECT_TRUE(parseLaunchParams(text, params, error)) << error;
    return params;
}

TEST(LaunchParams, MissingKeysTakeTheDefaultsAndNumbersAreClamped) {
    const LaunchParams defaults = parsed(document(""));
    EXPECT_EQ(defaults.handshakeTimeoutMs, 20000u);
    EXPECT_TRUE(defaults.allowHardware);
    EXPECT_EQ(defaults.keys.viewerToHost.salt[3], 0xC3);  // upper-case hex is read too

    EXPECT_EQ(parsed(document(R"("bias":250)")).bias, 100);
    EXPECT_EQ(parsed(document(R"("bias":-3)")).bias, 0);
    EXPECT_EQ(parsed(document(R"("encoder":"","decoder":"")")).encoder, "auto");
    EXPECT_EQ(parsed(document(R"("localPort":70000)")).localPort, 65535);
    const LaunchParams mixed =
        parsed(document(R"("candidates":["198.51.100.4",7,"[2001:db8::1]:9"])"));
    EXPECT_EQ(mixed.candidates, (std::vector<std::string>{"198.51.100.4", "[2001:db8::1]:9"}));
}

TEST(LaunchParams, RefusesWithTheDesignedTexts) {
    const std::string keyless = R"({"role":"host","hostToViewer":")" + std::string(kKeyA) + "\"}";
    const std::pair<std::string, std::string> cases[] = {
        {"[1,2]", "launch parameters are not a JSON object"},
        {"{\"role\":\"host\"", "launch parameters are not a JSON object"},
        {R"({"role":"agent"})", "role must be host or viewer"},
        {keyless, "session keys are malformed"},
    };
    for (const auto& [text, message] : cases) {
        LaunchParams params;
        params.bias = 7;
        std::string error;
        EXPECT_FALSE(parseLaunchParams(text, params, error)) << text;
        EXPECT_EQ(error, message) << text;
        EXPECT_EQ(params.bias, 7) << "a refused document changes nothing";
    }
}

TEST(LaunchParams, SerialisingAndParsingGivesBackTheSameValues) {
    LaunchParams p = parsed(document(""));
    p.connId = 0xDEADBEEF;
    p.localPort = 7441;
    p.candidates = {"192.0.2.7:9000", "[2001:db8::1]:9000"};
    p.handshakeTimeoutMs = 30000;
    p.bias = 85;
    p.automatic = false;
    p.maxFps = 30;
    p.maxBitrate = 3000000;
    p.audio = false;
    p.microphone = true;
    p.microphoneOutDevice = "alsa_output.pci-0000_00_1f.3.analog-stereo";
    p.injectInput = false;
    p.allowHardware = false;
    p.encoder = "mf-sw";
    p.decoder = "nvdec";
    p.fullscreen = p.startCaptured = p.fitDisplay = p.vsync = true;
    p.title = "Büro";
    p.language = "de";

    const std::string text = serializeLaunchParams(p);
    EXPECT_NE(text.find(R"("viewerToHost":"a0a1a2)"), std::string::npos) << "lower-case hex";
    // Every member is written (a member left out would round-trip unnoticed) and read back.
    JsonValue doc;
    ASSERT_TRUE(JsonParse(text, doc));
    EXPECT_EQ(doc.keys().size(), 24u);
    const LaunchParams back = parsed(text);
    EXPECT_EQ(serializeLaunchParams(back), text);
    EXPECT_EQ(back.keys.viewerToHost, p.keys.viewerToHost);
}

}  // namespace
}  // namespace vel::stream
