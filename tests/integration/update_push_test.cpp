// Pushing a new build through the running gate: the checks an upload passes before it is staged.
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/crypto.h"
#include "core/encoding.h"
#include "gate/relying_party.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/software_authenticator.h"

namespace vel {
namespace {

const std::string kOrigin = gate::RelyingPartyOrigin();
const std::string kRpId(gate::kRelyingPartyId);

class UpdatePushTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "velmora run needs root";
        gate_ = std::make_unique<test::GateProcess>();
        JsonValue credentials = JsonValue::array();
        credentials.push(test::StoredCredentialJson(key_, 0, "key"));
        gate_->setCredentials(credentials);
        std::string output;
        ASSERT_TRUE(gate_->start(output)) << output << gate_->log();
    }

    test::HttpReply post(const std::string& path, const JsonValue& body,
                         const std::string& from = "127.0.0.1") {
        return test::PostJson(gate_->port(), path, body, from);
    }

    // A fresh update token, as a client asks for one after its assertion.
    std::string updateToken() {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        const test::Assertion assertion =
            key_.getAssertion(kRpId, kOrigin, test::ChallengeOf(begin.json));
        JsonValue body = test::AssertionBody(key_.credentialId(), assertion);
        body.set("wantUpdateToken", true);
        const test::HttpReply reply = post("/v1/auth/finish", body);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.json.get("updateToken").asString();
    }

    test::HttpReply push(const std::string& token, const std::string& version, const Bytes& data,
                         const std::string& sha256, const std::string& from = "127.0.0.1") {
        JsonValue body = JsonValue::object();
        body.set("token", token);
        body.set("version", version);
        body.set("data", Base64StdEncode(data));
        body.set("sha256", sha256);
        return post("/v1/update/push", body, from);
    }

    static void expectError(const test::HttpReply& reply, int status, const std::string& code,
                            const std::string& message) {
        EXPECT_EQ(reply.status, status) << reply.body;
        EXPECT_EQ(reply.json.get("error").asString(), code);
        EXPECT_EQ(reply.json.get("message").asString(), message);
    }

    // A harmless program that accepts any arguments, padded to the smallest accepted size.
    static Bytes harmlessExecutable() {
        Bytes data;
        EXPECT_TRUE(ReadFileBytes("/bin/true", data));
        if (data.size() < 65'536) data.resize(65'536, 0);
        return data;
    }

    std::unique_ptr<test::GateProcess> gate_;
    test::SoftwareAuthenticator key_;
};

TEST_F(UpdatePushTest, VersionSizeFormatAndChecksumAreCheckedInOrder) {
    const Bytes data = harmlessExecutable();
    const std::string sha = HexEncode(Sha256(data));

    // Address binding and expiry are the token table's; a rejected upload spends its token.
    const std::string token = updateToken();
    expectError(push(token, "1.18.1", data, sha), 400, "update_rejected",
                "version 1.18.1 is not newer than the running 1.18.1");
    expectError(push(token, "2", data, sha), 403, "bad_update_token",
                "the update token is missing, expired or already used");
    expectError(push(updateToken(), "1.9", data, sha), 400, "update_rejected",
                "version 1.9 is not newer than the running 1.18.1");
    expectError(push(updateToken(), "12345678901234567", data, sha), 400, "bad_request",
                "the version string is malformed");

    Bytes small(data.begin(), data.end() - 1);
    expectError(push(updateToken(), "1.19", small, HexEncode(Sha256(small))), 400, "bad_request",
                "the binary payload is missing or oversized");
    Bytes large = data;
    large.resize(8'388'609, 0);
    expectError(push(updateToken(), "1.19", large, HexEncode(Sha256(large))), 400, "bad_request",
                "the binary payload is missing or oversized");

    Bytes zip = data;
    zip[0] = 'P';
    zip[1] = 'K';
    expectError(push(updateToken(), "2", zip, HexEncode(Sha256(zip))), 400, "update_rejected",
                "the payload is not a Linux executable");
    std::string wrong = sha;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    expectError(push(updateToken(), "2", data, wrong), 400, "update_rejected",
                "the SHA-256 checksum does not match");
    EXPECT_FALSE(FileExists(JoinPath(gate_->dataDirectory(), "update/Velmora-2.exe")));
}

}  // namespace
}  // namespace vel
