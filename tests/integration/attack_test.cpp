// One address attacks `velmora run` the way the gate's threat model expects, from a network
// namespace of its own, while a key holder at another address goes about its business. Every
// attack loop is bounded in count and time and targets only these namespaces.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <arpa/inet.h>
#include <memory>
#include <string>
#include <vector>

#include "core/json.h"
#include "gate/relying_party.h"
#include "os/unique_fd.h"
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
    }

    void startGate(const JsonValue& config = JsonValue::object()) {
        gate_ = std::make_unique<test::GateProcess>(config);
        JsonValue credentials = JsonValue::array();
        credentials.push(test::StoredCredentialJson(key_, 0, "user key"));
        gate_->setCredentials(credentials);
        std::string output;
        TestNetwork::RunIn(net_.machine(), [&] { ASSERT_TRUE(gate_->start(output)) << output; });
    }

    test::HttpReply post(std::size_t client, const std::string& path, const std::string& body) {
        test::HttpReply reply;
        TestNetwork::RunIn(net_.client(client), [&] {
            reply = test::HttpRequestTo(net_.machineAddress(client), gate_->port(), "POST", path,
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

    // Connections from the attacker that send head (perhaps empty) and then data bytes of the
    // body, and stay open; a send the gate refuses ends that connection's sending.
    void hold(std::size_t count, const std::string& head, std::size_t data) {
        TestNetwork::RunIn(net_.client(kAttacker), [&] {
            sockaddr_in gate{};
            gate.sin_family = AF_INET;
            gate.sin_port = htons(gate_->port());
            ::inet_pton(AF_INET, net_.machineAddress(kAttacker).c_str(), &gate.sin_addr);
            const std::string chunk(65'536, '0');
            for (std::size_t i = 0; i < count; ++i) {
                UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                const timeval bound{2, 0};
                ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
                if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&gate), sizeof gate) != 0)
                    continue;
                bool open = head.empty() || ::send(fd.get(), head.data(), head.size(), MSG_NOSIGNAL) > 0;
                for (std::size_t sent = 0; open && sent < data; sent += chunk.size())
                    open = ::send(fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0;
                held_.push_back(std::move(fd));
            }
        });
    }

    TestNetwork net_{{"198.51.100", "203.0.113"}};
    std::unique_ptr<test::GateProcess> gate_;
    test::SoftwareAuthenticator key_;
    std::vector<UniqueFd> held_;
};

TEST_F(AttackTest, HeldConnectionsBodiesAndSlowHeadsLeaveTheKeyHolderInAndMemoryBounded) {
    startGate();
    if (HasFatalFailure()) return;
    const long before = residentKib(gate_->pid());
    ASSERT_GT(before, 0);

    // Parsing cannot be made to cost many times a body: a 12 MiB array anywhere is refused.
    std::string zeros = "[0";
    while (zeros.size() < 12'000'000) zeros += ",0";
    zeros += "]";
    EXPECT_EQ(post(kAttacker, "/x", zeros).status, 413);
    EXPECT_EQ(post(kAttacker, "/v1/update/push", zeros).status, 400);

    hold(40, "POST /v1/update/push HTTP/1.1\r\nHost: g\r\nContent-Length: 12000000\r\n\r\n",
         11'000'000);
    hold(400, "POST /v1/auth/begin HTTP/1.1\r\nHo", 0);  // slowloris
    hold(1'100, "", 0);
    for (int i = 0; i < 200; ++i) post(kAttacker, "/v1/auth/finish", "{\"bad\":1}");

    const test::HttpReply granted = authenticate();
    EXPECT_EQ(granted.status, 200) << granted.body << gate_->log();
    const long after = residentKib(gate_->pid());
    EXPECT_LT(after - before, 100 * 1024) << "resident KiB before " << before << ", after " << after;
}

TEST_F(AttackTest, AChallengeFloodDoesNotEvictAnotherClientsChallenge) {
    startGate();
    if (HasFatalFailure()) return;
    const test::HttpReply begin = post(kUser, "/v1/auth/begin", "{}");
    ASSERT_EQ(begin.status, 200) << begin.body;
    for (int i = 0; i < 300; ++i) post(kAttacker, "/v1/auth/begin", "{}");
    const test::Assertion assertion = key_.getAssertion(
        gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
    const test::HttpReply finished = post(
        kUser, "/v1/auth/finish", JsonDump(test::AssertionBody(key_.credentialId(), assertion)));
    EXPECT_EQ(finished.status, 200) << finished.body;
}

TEST_F(AttackTest, ForgedAndFloodedLinesNeitherSplitNorWipeTheLog) {
    JsonValue countries = JsonValue::array();
    countries.push("DE");  // with no table loaded, every external client is rejected and logged
    startGate(test::JsonObject({{"allowedCountries", countries}}));
    if (HasFatalFailure()) return;
    const std::string history = gate_->log();
    post(kAttacker, "/v1/x%0A2026-01-01%2000:00:00.000%20[INFO%20]%20granted%20RDP%20access%1B", "");
    const test::HttpReply refused = post(kAttacker, "/v1/hello", "");
    EXPECT_EQ(refused.json.get("error").asString(), "country_not_allowed") << refused.body;
    EXPECT_EQ(refused.json.get("message").asString(),
              "a country list is set on the gate but the address table is not loaded, so "
              "external connections are rejected");
    for (int i = 0; i < 3'000; ++i) post(kAttacker, "/v1/hello", "");

    const std::string log = gate_->log();
    EXPECT_EQ(log.rfind(history, 0), 0u) << "earlier history is gone";
    EXPECT_NE(log.find("/v1/x\\x0a2026-01-01 00:00:00.000 [INFO ] granted RDP access\\x1b"),
              std::string::npos);
    EXPECT_EQ(log.find("\n2026-01-01 00:00:00.000"), std::string::npos);
    std::size_t rejections = 0;
    for (std::size_t at = 0; (at = log.find("geo filter rejected", at)) != std::string::npos; ++at)
        ++rejections;
    EXPECT_LE(rejections, 10u);

    // A local client passes the filter and reaches the router, which takes no NUL for an end.
    test::HttpReply reply;
    TestNetwork::RunIn(net_.machine(), [&] {
        reply = test::HttpRequestTo("127.0.0.1", gate_->port(), "POST", "/v1/hello%00junk", "");
    });
    EXPECT_EQ(reply.status, 404);
}

}  // namespace
}  // namespace vel
