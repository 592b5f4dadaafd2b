// Streams through the gate as setup installs it: a viewer authenticates with a software key, asks
// for stream tokens and opens streams with them, and a stranger in another namespace tries to spend
// them; the real agents wait for a handshake that never comes until they or the service stop.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "core/encoding.h"
#include "core/json.h"
#include "firewall/firewall.h"
#include "gate/relying_party.h"
#include "integration/installed_gate.h"
#include "os/files.h"
#include "os/paths.h"
#include "stream/stream_keys.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/software_authenticator.h"
#include "support/wait_until.h"

namespace vel {
namespace {

constexpr std::uint16_t kStreamPort = 7441;
constexpr std::size_t kViewer = 0;
constexpr std::size_t kStranger = 1;

const std::string kOrigin = gate::RelyingPartyOrigin();
const std::string kRpId(gate::kRelyingPartyId);

Bytes newViewerKey() {
    stream::StreamKeyPair pair;
    std::string error;
    EXPECT_TRUE(stream::generateKeyPair(pair, error)) << error;
    return pair.publicKey();
}

class StreamOpenTest : public test::InstalledGateTest {
  protected:
    StreamOpenTest() : InstalledGateTest({"10.233.1", "10.233.2"}) {}

    // An authentication that asks for a stream token; the token.
    std::string streamToken(test::SoftwareAuthenticator& key) const {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        EXPECT_EQ(begin.status, 200) << begin.body;
        const test::Assertion assertion =
            key.getAssertion(kRpId, kOrigin, test::ChallengeOf(begin.json));
        JsonValue body = test::AssertionBody(key.credentialId(), assertion);
        body.set("wantStreamToken", true);
        const test::HttpReply finish = post("/v1/auth/finish", body);
        EXPECT_EQ(finish.status, 200) << finish.body;
        return finish.json.get("streamToken").asString();
    }

    test::HttpReply openStream(const std::string& token, std::size_t client = kViewer) const {
        return post("/v1/stream/open",
                    test::JsonObject({{"token", token},
                                      {"viewerKey", Base64UrlEncode(newViewerKey())},
                                      {"viewerPort", 50000}}),
                    client);
    }
};

TEST_F(StreamOpenTest, TokensOpenStreamsForTheirAddressFourAtMostAndStoppingEndsTheAgents) {
    test::SoftwareAuthenticator key;
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(key, 0, "viewer key"));
    writeGateJson(credentials);
    setUpGate();
    EXPECT_TRUE(post("/v1/hello", JsonValue::object()).json.get("stream").asBool());

    const std::string token = streamToken(key);

    // Another address cannot spend it, and trying does not use it up.
    const test::HttpReply foreign = openStream(token, kStranger);
    EXPECT_EQ(foreign.status, 403);
    EXPECT_EQ(foreign.json.get("error").asString(), "bad_stream_token");
    EXPECT_EQ(foreign.json.get("message").asString(),
              "the stream token is missing, expired, used or belongs to another address");

    const test::HttpReply opened = openStream(token);
    ASSERT_EQ(opened.status, 200) << opened.body;
    EXPECT_EQ(opened.json.get("port").asInt(), kStreamPort);
    EXPECT_TRUE(test::Contains(opened.body, "\"" + net_.machineAddress(kViewer) + ":7441\""))
        << opened.body;
    EXPECT_EQ(openStream(token).json.get("error").asString(), "bad_stream_token");

    // The agents wait for their viewers' handshakes; four of them at most.
    for (int i = 1; i < 4; ++i) ASSERT_EQ(openStream(streamToken(key)).status, 200);
    const test::HttpReply busy = openStream(streamToken(key));
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.json.get("error").asString(), "stream_busy");

    const std::string viewer = net_.clientAddress(kViewer);
    std::vector<pid_t> agents;
    const std::string log = gateLog();
    const std::regex started("for " + viewer + ": agent pid ([0-9]+) on UDP 744[1-4],");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), started);
         it != std::sregex_iterator(); ++it)
        agents.push_back(std::stoi((*it)[1]));
    ASSERT_EQ(agents.size(), 4u) << log;

    // An agent that ends takes its firewall rule and its slot with it.
    const auto streamRules = [this] {
        std::string rules;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "firewall.json"), rules));
        std::size_t count = 0;
        for (std::size_t at = 0;
             (at = rules.find(firewall::kStreamRulePrefix, at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    EXPECT_EQ(streamRules(), 4u);
    ASSERT_EQ(::kill(agents.back(), SIGKILL), 0);
    EXPECT_TRUE(test::WaitUntil([&] { return streamRules() == 3; }, std::chrono::seconds(5)));
    agents.pop_back();
    EXPECT_EQ(openStream(streamToken(key)).status, 200);

    // Stopping the service ends them all.
    for (const pid_t agent : agents) EXPECT_EQ(::kill(agent, 0), 0) << agent;
    ASSERT_EQ(onMachine({"systemctl", "stop", "velmora.service"}).exitCode, 0);
    for (const pid_t agent : agents) EXPECT_NE(::kill(agent, 0), 0) << agent;
}

}  // namespace
}  // namespace vel
