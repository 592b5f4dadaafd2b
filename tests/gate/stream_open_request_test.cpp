#include "gate/stream_open_request.h"

#include <gtest/gtest.h>

#include "core/encoding.h"

namespace vel::gate {
namespace {

net::IpAddress viewer() {
    net::IpAddress address;
    EXPECT_TRUE(net::parseIpAddress("203.0.113.5", address));
    return address;
}

JsonValue parsedJson(const std::string& members) {
    const Bytes key(65, 0x04);
    JsonValue body;
    EXPECT_TRUE(JsonParse("{\"viewerKey\":\"" + Base64UrlEncode(key) + "\"" +
                              (members.empty() ? "" : "," + members) + "}",
                          body));
    return body;
}

StreamOpenRequest parsed(const std::string& members) {
    StreamOpenRequest out;
    EXPECT_TRUE(ParseStreamOpenRequest(parsedJson(members), viewer(), out)) << members;
    return out;
}

TEST(StreamOpenRequest, DefaultsAndClamps) {
    const StreamOpenRequest defaults = parsed("");
    EXPECT_EQ(defaults.bias, 50);
    EXPECT_TRUE(defaults.automatic && defaults.audio && !defaults.microphone);

    const StreamOpenRequest high = parsed(R"("bias":250,"maxFps":1000,"maxBitrate":8e6)");
    EXPECT_EQ(high.bias, 100);
    EXPECT_EQ(high.maxFps, 240u);
    EXPECT_EQ(high.maxBitrate, 8'000'000u);

    const StreamOpenRequest low = parsed(
        R"("bias":-3,"maxFps":-1,"maxBitrate":-5,"direction":3,"automatic":7,"encoder":"x264")");
    EXPECT_EQ(low.bias, 0);
    EXPECT_EQ(low.maxFps, 0u);
    EXPECT_EQ(low.maxBitrate, 0u);
    EXPECT_EQ(low.direction, 0);
    EXPECT_TRUE(low.automatic);
    EXPECT_EQ(low.encoder, "auto");
}

TEST(StreamOpenRequest, CandidatesNeedANumericAddressAndAPortAndOnlySixteenAreRead) {
    std::string list =
        R"("candidates":["198.51.100.4","[2001:db8::1]:9000","host.example:5","198.51.100.4:7000")";
    for (int i = 0; i < 13; ++i) list += ",\"192.0.2.1:" + std::to_string(100 + i) + "\"";
    list += R"(,"192.0.2.99:9"],"viewerPort":40000)";
    const StreamOpenRequest r = parsed(list);
    // Of the first sixteen entries two are dropped; the seventeenth on is never read.
    ASSERT_EQ(r.candidates.size(), 2u + 12u + 1u);
    EXPECT_EQ(r.candidates[0], "[2001:db8::1]:9000");
    EXPECT_EQ(r.candidates[1], "198.51.100.4:7000");
    EXPECT_EQ(r.candidates[13], "192.0.2.1:111");
    EXPECT_EQ(r.candidates.back(), "203.0.113.5:40000");
    EXPECT_EQ(parsed(R"("viewerPort":70000)").candidates.size(), 0u);
}

TEST(StreamOpenRequest, TheViewerKeyMustBeSixtyFiveBytesOfBase64Url) {
    StreamOpenRequest out;
    for (const std::string& text :
         {"{\"viewerKey\":\"" + Base64UrlEncode(Bytes(64, 4)) + "\"}",
          std::string(R"({"viewerKey":"not base64!"})"), std::string("{}")}) {
        JsonValue body;
        ASSERT_TRUE(JsonParse(text, body));
        EXPECT_FALSE(ParseStreamOpenRequest(body, viewer(), out)) << text;
    }
}

}  // namespace
}  // namespace vel::gate
