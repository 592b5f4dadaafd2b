// The gate's HTTP API as clients meet it: the real binary with a software key and with
// Chromium's virtual key; then an attacker in a network namespace of its own, with bounded loops,
// while a key holder at another address goes about its business.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/json.h"
#include "gate/gate_store.h"
#include "gate/relying_party.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/cbor_writer.h"
#include "support/gate_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/test_network.h"

namespace vel {
namespace {

using test::PostJson;

const std::string kOrigin = gate::RelyingPartyOrigin();
const std::string kRpId(gate::kRelyingPartyId);

// With the exponent 1 an RSA "signature" over anything is the padded digest itself, made
// without any private key.
Bytes ForgedPkcs1Signature(const Bytes& signedData) {
    const Bytes prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                          0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes padded = {0x00, 0x01};
    padded.resize(256 - prefix.size() - 32 - 1, 0xff);
    padded.push_back(0x00);
    padded.insert(padded.end(), prefix.begin(), prefix.end());
    const Bytes digest = Sha256(signedData);
    padded.insert(padded.end(), digest.begin(), digest.end());
    return padded;
}

class GateApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "velmora run needs root";
    }

    void startGate(const JsonValue& config = JsonValue::object(),
                   const JsonValue* credentials = nullptr) {
        gate_ = std::make_unique<test::GateProcess>(config);
        if (credentials != nullptr) gate_->setCredentials(*credentials);
        std::string output;
        ASSERT_TRUE(gate_->start(output)) << output << gate_->log();
    }

    // Issues a code with the command, beside the running gate.
    std::string issueCode() const {
        const std::string out = gate_->command({"code"});
        const std::size_t at = out.find("  Enrollment code: ");
        return at == std::string::npos ? out : out.substr(at + 19, 14);
    }

    test::HttpReply post(const std::string& path, const JsonValue& body) {
        return PostJson(gate_->port(), path, body);
    }

    test::HttpReply enroll(test::SoftwareAuthenticator& key, const std::string& code,
                           const std::string& label = "key",
                           std::uint8_t flags = test::SoftwareAuthenticator::kDefaultFlags) {
        const test::HttpReply begin = post("/v1/enroll/begin", test::JsonObject({{"code", code}}));
        EXPECT_EQ(begin.status, 200) << begin.body;
        const test::Registration reg =
            key.makeCredential(kRpId, kOrigin, test::ChallengeOf(begin.json), flags);
        lastFinish_ = test::RegistrationBody(code, key, reg, label);
        return post("/v1/enroll/finish", lastFinish_);
    }

    struct AuthOptions {
        bool rawSignature = false;
        bool tamper = false;
        JsonValue extra = JsonValue::object();
    };

    test::HttpReply authenticate(test::SoftwareAuthenticator& key, const AuthOptions& options) {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        EXPECT_EQ(begin.status, 200) << begin.body;
        test::Assertion assertion = key.getAssertion(kRpId, kOrigin, test::ChallengeOf(begin.json));
        if (options.rawSignature) assertion.signature = admin::RawSignatureOf(assertion.signature);
        if (options.tamper) assertion.authenticatorData.back() ^= 1;
        JsonValue body = test::AssertionBody(key.credentialId(), assertion);
        for (const std::string& k : options.extra.keys()) body.set(k, options.extra.get(k));
        return post("/v1/auth/finish", body);
    }

    // The enrolled keys as gate.json holds them.
    std::vector<gate::Credential> storedKeys() const {
        gate::GateStore store;
        std::string error;
        EXPECT_TRUE(store.load(JoinPath(gate_->dataDirectory(), "gate.json"), error)) << error;
        return store.credentials();
    }

    std::unique_ptr<test::GateProcess> gate_;
    JsonValue lastFinish_;  // the body of the latest enrollment finish
};

TEST_F(GateApiTest, RouterChecksMethodBodyAndExactPaths) {
    startGate();
    const auto request = [this](const char* method, const char* path, const char* body) {
        return test::HttpRequestTo("127.0.0.1", gate_->port(), method, path, body);
    };
    const test::HttpReply get = request("GET", "/v1/hello", "");
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(get.json.get("message").asString(), "only POST is accepted");
    const test::HttpReply hello = request("POST", "/v1/hello", "");
    ASSERT_EQ(hello.status, 200);
    EXPECT_EQ(hello.json.get("machine").asString(), "testhost");
    EXPECT_EQ(hello.json.get("rpId").asString(), kRpId);
    // Without a key nothing can authenticate.
    EXPECT_EQ(post("/v1/auth/begin", JsonValue::object()).status, 409);

    const test::HttpReply array = request("POST", "/v1/hello", "[]");
    EXPECT_EQ(array.status, 400);
    EXPECT_EQ(array.json.get("message").asString(), "the request body is not a JSON object");
    for (const char* path : {"/v1/hello/", "/V1/HELLO", "/v1/update/push/"}) {
        const test::HttpReply reply = request("POST", path, "{}");
        EXPECT_EQ(reply.status, 404) << path;
        EXPECT_EQ(reply.json.get("message").asString(), "unknown endpoint");
    }
}

TEST_F(GateApiTest, EnrollmentChecksTheCodeAndTheKeyFlags) {
    startGate(test::JsonObject({{"requireUserVerification", true}}));
    test::SoftwareAuthenticator key;

    const test::HttpReply wrong =
        post("/v1/enroll/begin", test::JsonObject({{"code", "WRONG-CODE"}}));
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.json.get("error").asString(), "bad_enrollment_code");
    EXPECT_EQ(wrong.json.get("message").asString(),
              "the code was not accepted by machine testhost; see gate.log for details");
    EXPECT_NE(gate_->log().find("  -> the service sees no active code."), std::string::npos);

    const std::string code = issueCode();
    // Touch without PIN on a gate that demands verification; the code survives.
    test::HttpReply reply = enroll(key, code, "key", 0x01);
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.json.get("message").asString(),
              "this gate requires user verification (PIN or biometric)");

    reply = enroll(key, code, std::string(100, 'L'));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.json.get("justArmed").asBool());
    EXPECT_TRUE(reply.json.get("protectionArmed").asBool());
    EXPECT_EQ(reply.json.get("credentialId").asString(), Base64UrlEncode(key.credentialId()));

    // The code is spent: replaying the finish request fails at the code check.
    reply = post("/v1/enroll/finish", lastFinish_);
    EXPECT_EQ(reply.json.get("error").asString(), "bad_enrollment_code");

    test::SoftwareAuthenticator second;
    reply = enroll(second, issueCode(), " \t ");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_FALSE(reply.json.get("justArmed").asBool(true));
    EXPECT_EQ(reply.json.get("enrolledKeys").asInt(), 2);

    const auto credentials = storedKeys();
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[0].label, std::string(64, 'L'));
    EXPECT_EQ(credentials[1].label, "FIDO key");
}

TEST_F(GateApiTest, BadSignaturesAndUnknownKeysCountTowardsTheRateLimit) {
    startGate();
    test::SoftwareAuthenticator key;
    ASSERT_EQ(enroll(key, issueCode()).status, 200);

    // Raw r||s signatures count as well as DER; an update token only for true or a number.
    test::HttpReply reply = authenticate(
        key, {.rawSignature = true, .extra = test::JsonObject({{"wantUpdateToken", 1}})});
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.json.get("clientIp").asString(), "127.0.0.1");
    EXPECT_TRUE(reply.json.has("updateToken"));
    EXPECT_FALSE(authenticate(key, {.extra = test::JsonObject({{"wantUpdateToken", "yes"}})})
                     .json.has("updateToken"));

    reply = authenticate(key, {.tamper = true});
    EXPECT_EQ(reply.json.get("error").asString(), "bad_signature") << reply.body;

    test::SoftwareAuthenticator stranger;
    reply = authenticate(stranger, {});
    EXPECT_EQ(reply.json.get("error").asString(), "unknown_credential");

    // Seven failures so far from this address would not block; reach eight.
    for (int i = 0; i < 6; ++i) authenticate(stranger, {});
    reply = post("/v1/auth/begin", JsonValue::object());
    EXPECT_EQ(reply.status, 429);
    EXPECT_EQ(reply.json.get("error").asString(), "rate_limited");
}

TEST_F(GateApiTest, CountersMustAdvanceAndRemovedOrDisabledKeysAreRefusedAtOnce) {
    // A stored key with counter 5, and a disabled one.
    test::SoftwareAuthenticator kept;
    test::SoftwareAuthenticator disabledKey;
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(kept, 5, "kept"));
    JsonValue disabled = test::StoredCredentialJson(disabledKey, 0, "off");
    disabled.set("disabled", true);
    credentials.push(disabled);
    startGate(JsonValue::object(), &credentials);
    EXPECT_EQ(authenticate(disabledKey, {}).json.get("error").asString(), "unknown_credential");

    // The software key starts at 1, below the stored 5.
    test::HttpReply reply = authenticate(kept, {});
    EXPECT_EQ(reply.json.get("error").asString(), "counter_replay") << reply.body;
    EXPECT_NE(gate_->log().find("counter regression for key 'kept': stored 5, presented 1"),
              std::string::npos);
    for (int i = 0; i < 4; ++i) authenticate(kept, {});  // 2..5, all refused
    ASSERT_EQ(authenticate(kept, {}).status, 200);       // 6

    // A key removed by the command is refused by the running service at once.
    test::SoftwareAuthenticator lost;
    ASSERT_EQ(enroll(lost, issueCode(), "lost").status, 200);
    ASSERT_EQ(authenticate(lost, {}).status, 200);
    int exitCode = -1;
    gate_->command({"remove-key", "3"}, &exitCode);
    EXPECT_EQ(exitCode, 0);
    reply = authenticate(lost, {});
    EXPECT_EQ(reply.json.get("error").asString(), "unknown_credential") << reply.body;
    EXPECT_EQ(post("/v1/auth/begin", JsonValue::object()).json.get("allowCredentials").size(), 1u);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(authenticate(kept, {}).status, 200);

    // gate.json holds the removal and every use of the other key, without a restart.
    const auto stored = storedKeys();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].label, "kept");
    EXPECT_EQ(stored[0].useCount, 3);
    EXPECT_EQ(stored[0].signCount, kept.signCount());
}

TEST_F(GateApiTest, EnrollmentRefusesUnusableKeysAndTakeovers) {
    // An RSA key with the exponent 1, written into gate.json before the checks existed; its
    // 2048-bit modulus is odd, as Montgomery arithmetic needs.
    Bytes modulus = RandomBytes(256);
    modulus[0] |= 0x80;
    modulus[255] |= 0x01;
    const Bytes forgedId = RandomBytes(16);
    JsonValue credentials = JsonValue::array();
    credentials.push(test::JsonObject(
        {{"id", Base64UrlEncode(forgedId)},
         {"publicKey",
          test::JsonObject(
              {{"alg", -257}, {"kty", "RSA"}, {"n", Base64UrlEncode(modulus)}, {"e", "AQ"}})},
         {"label", "planted"}}));
    startGate(JsonValue::object(), &credentials);
    EXPECT_NE(gate_->command({"keys"}).find(
                  "      UNUSABLE:  the RSA key's public exponent must be 65537"),
              std::string::npos);

    const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
    const Bytes authData = test::BuildAuthenticatorData(kRpId, 0x05, 1);
    const Bytes clientData =
        test::ClientDataJson("webauthn.get", test::ChallengeOf(begin.json), kOrigin);
    Bytes signedData = authData;
    const Bytes clientDataHash = Sha256(clientData);
    signedData.insert(signedData.end(), clientDataHash.begin(), clientDataHash.end());
    test::HttpReply reply = post(
        "/v1/auth/finish",
        test::AssertionBody(forgedId, {clientData, authData, ForgedPkcs1Signature(signedData)}));
    EXPECT_EQ(reply.status, 403) << reply.body;
    EXPECT_NE(
        gate_->log().find("the stored key 'planted' is unusable: the RSA key's public exponent"),
        std::string::npos);

    const std::string code = issueCode();
    test::SoftwareAuthenticator genuine;
    // The reasons are the key check's unit test; here, enrollment applies the check.
    test::SoftwareAuthenticator liar;
    test::CborWriter rsaKey;
    rsaKey.map(4).integer(1).integer(3).integer(3).integer(-257);
    liar.claimPublicKey(rsaKey.integer(-1).bytes(modulus).integer(-2).bytes({1}).data());
    reply = enroll(liar, code);
    EXPECT_EQ(reply.status, 400);
    EXPECT_NE(reply.json.get("message").asString().find("exponent must be 65537"),
              std::string::npos)
        << reply.body;

    // The code survived the refusals. Enrolling another key under the victim's public id fails.
    ASSERT_EQ(enroll(genuine, code, "victim").status, 200);
    test::SoftwareAuthenticator attacker;
    attacker.claimCredentialId(genuine.credentialId());
    reply = enroll(attacker, issueCode(), "attacker");
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(reply.json.get("error").asString(), "credential_conflict");
    EXPECT_EQ(reply.json.get("message").asString(),
              "this credential id is already enrolled with another key");
    reply = authenticate(genuine, {});
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.json.get("credentialLabel").asString(), "victim");
    EXPECT_EQ(authenticate(attacker, {}).json.get("error").asString(), "bad_signature");
}

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// An authenticator written by someone else: the script enrolls Chromium's virtual key with the
// code, signs in with it, replays the assertion and prints the gate's answers as its last line.
TEST_F(GateApiTest, ChromiumVirtualKeyEnrollsAndOpensThePort) {
    const std::string node = fromEnvironment("VELMORA_NODE", "/usr/bin/node");
    const std::string chromium = fromEnvironment("VELMORA_CHROMIUM", "/usr/bin/chromium");
    if (::access(node.c_str(), X_OK) != 0) GTEST_SKIP() << node << " is missing (nodejs)";
    if (::access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << chromium << " is missing";
    if (!FileExists(JoinPath(VELMORA_BROWSER_DIR, "node_modules/playwright-core/package.json")))
        GTEST_SKIP() << "playwright-core is not installed (npm ci in tests/browser)";
    startGate();
    const test::ProcessResult run =
        test::RunProcess({node, JoinPath(VELMORA_BROWSER_DIR, "webauthn_ceremony.js"),
                          std::to_string(gate_->port()), issueCode()},
                         {"VELMORA_CHROMIUM=" + chromium});
    ASSERT_EQ(run.exitCode, 0) << run.output << gate_->log();

    std::string last = run.output;
    while (!last.empty() && last.back() == '\n') last.pop_back();
    JsonValue granted;
    ASSERT_TRUE(JsonParse(last.substr(last.rfind('\n') + 1), granted)) << run.output;
    EXPECT_EQ(granted.get("clientIp").asString(), "127.0.0.1");
    EXPECT_GT(granted.get("expiresAt").asInt(), 0);
    EXPECT_EQ(granted.get("replayError").asString(), "challenge_expired");

    // The browser's key is stored with its counter as of the assertion, and the grant reached the
    // firewall.
    const auto credentials = storedKeys();
    ASSERT_EQ(credentials.size(), 1u);
    EXPECT_EQ(credentials[0].label, "Chromium virtual key");
    EXPECT_EQ(credentials[0].useCount, 2);
    EXPECT_EQ(std::int64_t(credentials[0].signCount), granted.get("browserSignCount").asInt());
    std::string rules;
    ASSERT_TRUE(ReadFileText(JoinPath(gate_->dataDirectory(), "firewall.json"), rules));
    EXPECT_NE(rules.find("\"127.0.0.1/32\""), std::string::npos) << rules;
}

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
        if (const std::string why = test::PrepareEnforcingNetwork(net_); !why.empty()) {
            GTEST_SKIP() << why;
        }
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
        test::TestNetwork::RunIn(net_.machine(),
                                 [&] { ASSERT_TRUE(gate_->start(output)) << output; });
    }

    test::HttpReply post(std::size_t client, const std::string& path, const std::string& body) {
        test::HttpReply reply;
        test::TestNetwork::RunIn(net_.client(client), [&] {
            reply = test::HttpsRequestTo(net_.machineAddress(client), gate_->port(), "POST", path,
                                         body);
        });
        return reply;
    }

    // A sign-in with the user's key from an address. The attacker's may replace the
    // authenticator data, which the gate then reaches after well-formed client data.
    test::HttpReply signIn(std::size_t from, const Bytes* authenticatorData = nullptr) {
        const test::HttpReply begin = post(from, "/v1/auth/begin", "{}");
        if (begin.status != 200) return begin;
        test::Assertion assertion = key_.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        if (authenticatorData != nullptr) assertion.authenticatorData = *authenticatorData;
        return post(from, "/v1/auth/finish",
                    JsonDump(test::AssertionBody(key_.credentialId(), assertion)));
    }

    // TLS connections from the attacker that send head (perhaps empty) and then data bytes of the
    // body, and stay open; a write the gate refuses ends that connection's sending.
    void hold(std::size_t count, const std::string& head, std::size_t data) {
        test::TestNetwork::RunIn(net_.client(kAttacker), [&] {
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

    test::TestNetwork net_{{"198.51.100", "203.0.113"}};
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
        const test::HttpReply refused = signIn(kAttacker, &bomb);
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

    const test::HttpReply granted = signIn(kUser);
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
