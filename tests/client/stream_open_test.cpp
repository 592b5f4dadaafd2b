#include "client/stream_open.h"

#include <gtest/gtest.h>

#include "client/gate_errors.h"
#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::client {
namespace {

// What a gate does for /v1/stream/open: its own key pair, the agreement with the viewer's key,
// a ticket, and the keys it hands its agent.
struct FakeGate {
    stream::StreamKeyPair pair;
    Bytes ticket = Bytes(32, 0x5A);
    stream::SessionKeys agentKeys;

    JsonValue answer(const Bytes& viewerKey) {
        std::string error;
        EXPECT_TRUE(stream::generateKeyPair(pair, error)) << error;
        Bytes secret;
        EXPECT_TRUE(stream::agree(pair, viewerKey, secret, error)) << error;
        agentKeys = stream::deriveSessionKeys(secret, ticket, pair.publicKey(), viewerKey);
        JsonValue body = JsonValue::object();
        body.set("ok", true);
        body.set("ticket", Base64UrlEncode(ticket));
        body.set("hostKey", Base64UrlEncode(pair.publicKey()));
        body.set("connId", static_cast<std::int64_t>(0xDEADBEEF));
        body.set("port", 7441);
        JsonValue candidates = JsonValue::array();
        candidates.push("192.0.2.7:7441");
        candidates.push("[2001:db8::7]:7441");
        candidates.push("not an address");
        candidates.push("192.0.2.8");  // no port: unusable
        body.set("hostCandidates", candidates);
        body.set("gateVersion", "1.2.3");
        return body;
    }
};

TEST(StreamOpen, ViewerDerivesTheKeysTheGateGaveItsAgent) {
    stream::StreamKeyPair own;
    std::string error;
    ASSERT_TRUE(stream::generateKeyPair(own, error)) << error;
    // The request's fields reaching the gate are shown end to end; the clamp and the optional port
    // are the client's own.
    StreamChoices choices;
    choices.bias = 130;
    EXPECT_EQ(StreamOpenRequest("tok", own.publicKey(), choices).get("bias").asInt(), 100);
    EXPECT_FALSE(StreamOpenRequest("tok", own.publicKey(), choices).has("viewerPort"));

    FakeGate gate;
    StreamOffer offer;
    ASSERT_TRUE(ReadStreamOffer(gate.answer(own.publicKey()), offer, error)) << error;
    EXPECT_EQ(offer.connId, 0xDEADBEEFu);
    EXPECT_EQ(offer.port, 7441);
    ASSERT_EQ(offer.hostCandidates.size(), 2u);
    EXPECT_EQ(stream::toString(offer.hostCandidates[1]), "[2001:db8::7]:7441");
    stream::SessionKeys keys;
    ASSERT_TRUE(ViewerSessionKeys(own, offer, keys, error)) << error;
    EXPECT_EQ(keys.hostToViewer, gate.agentKeys.hostToViewer);
    EXPECT_EQ(keys.viewerToHost, gate.agentKeys.viewerToHost);

    // Another viewer key (a man in the middle's) gives other keys.
    stream::StreamKeyPair other;
    ASSERT_TRUE(stream::generateKeyPair(other, error));
    stream::SessionKeys otherKeys;
    ASSERT_TRUE(ViewerSessionKeys(other, offer, otherKeys, error));
    EXPECT_NE(otherKeys.viewerToHost, gate.agentKeys.viewerToHost);
}

TEST(StreamOpen, IncompleteAnswersAndBadHostKeysAreRefused) {
    stream::StreamKeyPair own;
    std::string error;
    ASSERT_TRUE(stream::generateKeyPair(own, error));
    FakeGate gate;
    const JsonValue good = gate.answer(own.publicKey());
    const auto without = [&](const char* key, JsonValue value) {
        JsonValue copy = good;
        copy.set(key, std::move(value));
        return copy;
    };
    StreamOffer offer;
    for (const JsonValue& bad :
         {without("ticket", Base64UrlEncode(Bytes(31, 1))), without("hostKey", "***"),
          without("port", 0), without("port", 70000), without("connId", -1),
          without("connId", JsonValue())}) {
        EXPECT_FALSE(ReadStreamOffer(bad, offer, error)) << JsonDump(bad);
    }
    // A host key that is no point on the curve cannot be agreed with.
    Bytes notAPoint(65, 0x11);
    notAPoint[0] = 0x04;
    ASSERT_TRUE(ReadStreamOffer(without("hostKey", Base64UrlEncode(notAPoint)), offer, error));
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
