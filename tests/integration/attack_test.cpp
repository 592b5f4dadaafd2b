// One address attacks `velmora run` over HTTPS, from a network namespace of its own, while a key
// holder at another address goes about its business. Every attack loop is bounded in count and
// time and targets only these namespaces.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/json.h"
#include "gate/relying_party.h"
#include "support/gate_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/test_network.h"

namespace vel {
namespace {

using test::TestNetwork;

constexpr std::size_t kAttacker = 0;
constexpr std::size_t kUser = 1;

// The gate's resident memory in KiB, 0 when it cannot be read.
long residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

class AttackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "velmora run needs root";
        const std::string unavailable = test::NetworkTestsUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        if (!net_.createNamespaces()) GTEST_SKIP() << "network namespaces cannot be created here";
        ASSERT_TRUE(net_.connect()) << "could not join the namespaces with veth pairs";
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::signal(SIGPIPE, SIG_IGN);  // the gate closes connections it refuses mid-write
    }

    // The gate serves HTTPS with a certificate made as setup makes it, so every attack below
    // pays for and goes through TLS as a real one would.
    void startGate(const JsonValue& config = JsonValue::object()) {
        gate_ = std::make_unique<test::GateProcess>(config);
        JsonValue credentials = JsonValue::array();
        credentials.push(test::StoredCredentialJson(key_, 0, "user key"));
        gate_->setCredentials(credentials);
        std::string output;
        ASSERT_TRUE(gate_->useHttps(output)) << output;
        TestNetwork::RunIn(net_.machine(), [&] { ASSERT_TRUE(gate_->start(output)) << output; });
    }

    test::HttpReply post(std::size_t client, const std::string& path, const std::string& body) {
        test::HttpReply reply;
        TestNetwork::RunIn(net_.client(client), [&] {
            reply = test::HttpsRequestTo(net_.machineAddress(client), gate_->port(), "POST", path,
                                         body);
        });
        return reply;
    }

    test::HttpReply authenticate() {
        const test::HttpReply begin = post(kUser, "/v1/auth/begin", "{}");
        if (begin.status != 200) return begin;
        const test::Assertion assertion = key_.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        return post(kUser, "/v1/auth/finish",
                    JsonDump(test::AssertionBody(key_.credentialId(), assertion)));
    }

    // A finish from the attacker with a fresh challenge and well-formed client data, so that the
    // gate reaches the authenticator data, which is replaced by authenticatorData.
    test::HttpReply finishWith(const Bytes& authenticatorData) {
        const test::HttpReply begin = post(kAttacker, "/v1/auth/begin", "{}");
        if (begin.status != 200) return begin;
        test::Assertion assertion = key_.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        assertion.authenticatorData = authenticatorData;
        return post(kAttacker, "/v1/auth/finish",
                    JsonDump(test::AssertionBody(key_.credentialId(), assertion)));
    }

    // TLS connections from the attacker that send head (perhaps empty) and then data bytes of the
    // body, and stay open; a write the gate refuses ends that connection's sending.
    void hold(std::size_t count, const std::string& head, std::size_t data) {
        TestNetwork::RunIn(net_.client(kAttacker), [&] {
            const std::string chunk(65'536, '0');
            for (std::size_t i = 0; i < count; ++i) {
                test::TlsConnection connection;
                if (!connection.open(net_.machineAddress(kAttacker), gate_->port())) continue;
                bool open = head.empty() || connection.send(head);
                for (std::size_t sent = 0; open && sent < data; sent += chunk.size())
                    open = connection.send(chunk);
                held_.push_back(std::move(connection));
            }
        });
    }

    TestNetwork net_{{"198.51.100", "203.0.113"}};
    std::unique_ptr<test::GateProcess> gate_;
    test::SoftwareAuthenticator key_;
    std::vector<test::TlsConnection> held_;
};

TEST_F(AttackTest, HeldConnectionsBodiesAndSlowHeadsLeaveTheKeyHolderInAndMemoryBounded) {
    startGate();
    if (HasFatalFailure()) return;
    const long before = residentKib(gate_->pid());
    ASSERT_GT(before, 0);

    // Parsing cannot be made to cost many times its input: a 12 MiB array anywhere is refused,
    // and so is authenticator data nested 40,000 deep or declaring 2^64 members.
    std::string zeros = "[0";
    while (zeros.size() < 12'000'000) zeros += ",0";
    zeros += "]";
    EXPECT_EQ(post(kAttacker, "/x", zeros).status, 413);
    EXPECT_EQ(post(kAttacker, "/v1/update/push", zeros).status, 400);
    Bytes deep = test::BuildAuthenticatorData(gate::kRelyingPartyId, 0x85, 1);
    deep.insert(deep.end(), 40'000, 0x81);
    deep.push_back(0x00);
    const Bytes endless{0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes id{1, 2, 3};
    const Bytes countedKey =
        test::BuildAuthenticatorData(gate::kRelyingPartyId, 0x45, 1, &key_.aaguid(), &id, &endless);
    for (const Bytes& bomb : {deep, countedKey}) {
        const test::HttpReply refused = finishWith(bomb);
        EXPECT_TRUE(refused.status >= 400 && refused.status < 500)
            << refused.status << refused.body;
    }
    const long parsed = residentKib(gate_->pid());
    EXPECT_LT(parsed - before, 8 * 1024)
        << "resident KiB before " << before << ", after " << parsed;

    hold(40, "POST /v1/update/push HTTP/1.1\r\nHost: g\r\nContent-Length: 12000000\r\n\r\n",
         11'000'000);
    hold(400, "POST /v1/auth/begin HTTP/1.1\r\nHo", 0);  // slowloris
    hold(1'100, "", 0);
    for (int i = 0; i < 200; ++i) post(kAttacker, "/v1/auth/finish", "{\"bad\":1}");

    const test::HttpReply granted = authenticate();
    EXPECT_EQ(granted.status, 200) << granted.body << gate_->log();
    const long after = residentKib(gate_->pid());
    EXPECT_LT(after - before, 100 * 1024)
        << "resident KiB before " << before << ", after " << after;
}

TEST_F(AttackTest, ForgedAndFloodedLinesNeitherSplitNorWipeTheLog) {
    JsonValue countries = JsonValue::array();
    countries.push("DE");  // with no table loaded, every external client is rejected and logged
    startGate(test::JsonObject({{"allowedCountries", countries}}));
    if (HasFatalFailure()) return;
    const std::string history = gate_->log();
    const std::string forged = "2026-01-01 00:00:00.000 [INFO ] granted RDP access";
    post(kAttacker, "/v1/x%0A2026-01-01%2000:00:00.000%20[INFO%20]%20granted%20RDP%20access%1B",
         "");
    const test::HttpReply refused = post(kAttacker, "/v1/hello", "");
    EXPECT_EQ(refused.json.get("error").asString(), "country_not_allowed") << refused.body;
    EXPECT_EQ(refused.json.get("message").asString(),
              "a country list is set on the gate but the address table is not loaded, so "
              "external connections are rejected");
    for (int i = 0; i < 3'000; ++i) post(kAttacker, "/v1/hello", "");

    const std::string log = gate_->log();
    EXPECT_EQ(log.rfind(history, 0), 0u) << "earlier history is gone";
    EXPECT_NE(log.find("/v1/x\\x0a" + forged + "\\x1b"), std::string::npos);
    EXPECT_EQ(log.find("\n" + forged), std::string::npos);
    std::size_t rejections = 0;
    for (std::size_t at = 0; (at = log.find("geo filter rejected", at)) != std::string::npos; ++at)
        ++rejections;
    EXPECT_LE(rejections, 20u);  // ten a minute; a slow flood may straddle two minutes
}

}  // namespace
}  // namespace vel
