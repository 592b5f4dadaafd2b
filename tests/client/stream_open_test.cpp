#include "client/stream_open.h"

#include <gtest/gtest.h>

#include "client/gate_errors.h"
#include "core/encoding.h"

namespace vel::client {
namespace {

// A /v1/stream/open answer as the gate gives it. That the viewer derives the keys the gate gave
// its agent is seen end to end by the viewer's integration test.
JsonValue gateAnswer(const Bytes& hostKey) {
    JsonValue body = JsonValue::object();
    body.set("ok", true);
    body.set("ticket", Base64UrlEncode(Bytes(32, 0x5A)));
    body.set("hostKey", Base64UrlEncode(hostKey));
    body.set("connId", static_cast<std::int64_t>(0xDEADBEEF));
    body.set("port", 7441);
    JsonValue candidates = JsonValue::array();
    candidates.push("192.0.2.7:7441");
    candidates.push("[2001:db8::7]:7441");
    candidates.push("not an address");
    candidates.push("192.0.2.8");  // no port: unusable
    body.set("hostCandidates", candidates);
    return body;
}

TEST(StreamOpen, AnswersAreCheckedAndUnusableHostKeysRefused) {
    stream::StreamKeyPair own;
    std::string error;
    ASSERT_TRUE(stream::generateKeyPair(own, error)) << error;
    // The clamp and the optional port are the client's own.
    StreamChoices choices;
    choices.bias = 130;
    const JsonValue request = StreamOpenRequest("tok", own.publicKey(), choices);
    EXPECT_EQ(request.get("bias").asInt(), 100);
    EXPECT_FALSE(request.has("viewerPort"));

    const JsonValue good = gateAnswer(own.publicKey());
    StreamOffer offer;
    ASSERT_TRUE(ReadStreamOffer(good, offer, error)) << error;
    EXPECT_EQ(offer.connId, 0xDEADBEEFu);
    ASSERT_EQ(offer.hostCandidates.size(), 2u);
    EXPECT_EQ(stream::toString(offer.hostCandidates[1]), "[2001:db8::7]:7441");

    const auto with = [&](const char* key, JsonValue value) {
        JsonValue copy = good;
        copy.set(key, std::move(value));
        return copy;
    };
    for (const JsonValue& bad :
         {with("ticket", Base64UrlEncode(Bytes(31, 1))), with("hostKey", "***"), with("port", 0),
          with("port", 70000), with("connId", -1), with("connId", JsonValue())}) {
        EXPECT_FALSE(ReadStreamOffer(bad, offer, error)) << JsonDump(bad);
    }
    // A host key that is no point on the curve cannot be agreed with.
    Bytes notAPoint(65, 0x11);
    notAPoint[0] = 0x04;
    ASSERT_TRUE(ReadStreamOffer(with("hostKey", Base64UrlEncode(notAPoint)), offer, error));
    stream::SessionKeys keys;
    EXPECT_FALSE(ViewerSessionKeys(own, offer, keys, error));
    EXPECT_NE(error.find("the host's stream key is not usable"), std::string::npos) << error;
}

TEST(StreamOpen, DestinationsStartWithTheGateAndNameEachAddressOnce) {
    StreamOffer offer;
    stream::Endpoint a;
    stream::Endpoint b;
    ASSERT_TRUE(stream::parseEndpoint("10.0.0.2:7441", 0, a));
    ASSERT_TRUE(stream::parseEndpoint("192.0.2.9:7441", 0, b));
    offer.port = 7441;
    offer.hostCandidates = {a, b};
    const std::vector<stream::Endpoint> out = StreamDestinations({b}, offer);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], b);
    EXPECT_EQ(out[1], a);
}

TEST(StreamOpen, TheGatesStreamRefusalsBecomeSentences) {
    const struct {
        int status;
        const char* code;
        const char* sentence;
    } cases[] = {
        {403, "bad_stream_token", "run the command again"},
        {503, "stream_disabled", "streaming is switched off on pc:7440"},
        {503, "stream_busy", "as many viewers as it allows"},
        {503, "stream_start_failed", "could not start the stream (no display)"},
    };
    for (const auto& c : cases) {
        JsonValue body = JsonValue::object();
        body.set("error", c.code);
        body.set("message", "no display");
        const std::string text = ExplainGateError(c.status, body, "pc:7440");
        EXPECT_NE(text.find(c.sentence), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace vel::client
