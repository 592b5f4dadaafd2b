// libfido2 drives a software CTAP2 authenticator over CTAPHID; the gate's own parsers and
// signature check judge what comes out.
#include "client/security_key.h"

#include <gtest/gtest.h>

#include <deque>

#include "client/ctap_authenticator.h"
#include "client/key_ceremony.h"
#include "client/soft_key_source.h"
#include "client/webauthn_payload.h"
#include "core/crypto.h"
#include "gate/relying_party.h"
#include "gate/webauthn.h"

namespace vel::client {
namespace {

const std::string kRpId(gate::kRelyingPartyId);

// Answers PIN prompts from a script and counts them.
class ScriptedPins : public PinPrompt {
  public:
    explicit ScriptedPins(std::deque<std::string> answers) : answers_(std::move(answers)) {}
    bool readPin(const std::string&, SecretText& pin, std::string& error) override {
        ++asked;
        if (answers_.empty()) {
            error = "no PIN was entered";
            return false;
        }
        pin.text() = answers_.front();
        answers_.pop_front();
        return true;
    }
    int asked = 0;

  private:
    std::deque<std::string> answers_;
};

CredentialRequest creation(const Bytes& clientData, bool verification = false) {
    CredentialRequest request;
    request.rpId = kRpId;
    request.rpName = "Velmora";
    request.userId = Bytes(16, 0x42);
    request.userName = "testhost (RDP 0123ab)";
    request.userDisplayName = "RDP testhost \xC2\xB7 0123ab";
    request.clientDataHash = Sha256(clientData);
    request.userVerification = verification;
    return request;
}

class SecurityKeyTest : public ::testing::Test {
  protected:
    void SetUp() override { source_.attach("soft:0", authenticator_); }

    std::unique_ptr<SecurityKey> open() {
        std::string error;
        std::unique_ptr<SecurityKey> key = SecurityKey::open(source_, "", error);
        EXPECT_NE(key, nullptr) << error;
        return key;
    }

    // Enrolls through libfido2 and returns what the gate would store.
    gate::AuthenticatorData enroll(SecurityKey& key, PinPrompt& pins, bool verification = false) {
        const Bytes clientData =
            ClientDataJson("webauthn.create", Bytes(32, 7), gate::RelyingPartyOrigin());
        NewCredential credential;
        std::string error;
        EXPECT_TRUE(
            CreateOnKey(key, pins, creation(clientData, verification), credential, failure_, error))
            << error;
        Bytes authData;
        std::string format;
        EXPECT_TRUE(gate::ParseAttestationObject(
            NoneAttestationObject(credential.authenticatorData), authData, &format));
        EXPECT_EQ(format, "none");
        gate::AuthenticatorData parsed;
        EXPECT_TRUE(gate::ParseAuthenticatorData(authData, parsed));
        EXPECT_EQ(parsed.credentialId, credential.credentialId);
        return parsed;
    }

    test::CtapAuthenticator authenticator_;
    test::SoftKeySource source_;
    KeyFailure failure_ = KeyFailure::None;
};

TEST_F(SecurityKeyTest, EnrollsAndSignsAssertionsTheGateAccepts) {
    std::unique_ptr<SecurityKey> key = open();
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(key->hasPin());
    ScriptedPins noPins({});
    const gate::AuthenticatorData enrolled = enroll(*key, noPins);
    EXPECT_EQ(enrolled.rpIdHash, Sha256(BytesOf(kRpId)));
    EXPECT_EQ(enrolled.flags & gate::kFlagUserPresent, gate::kFlagUserPresent);
    EXPECT_EQ(enrolled.credentialPublicKey.alg, -7);
    EXPECT_EQ(noPins.asked, 0);

    AssertionRequest request;
    request.rpId = kRpId;
    // A key that is not this one comes first: the key must pick its own from the list.
    request.allowedCredentials = {Bytes(32, 1), enrolled.credentialId};
    std::uint32_t lastCount = enrolled.signCount;
    for (int round = 0; round < 2; ++round) {
        const Bytes clientData =
            ClientDataJson("webauthn.get", Bytes(32, static_cast<std::uint8_t>(round)),
                           gate::RelyingPartyOrigin());
        request.clientDataHash = Sha256(clientData);
        KeyAssertion assertion;
        std::string error;
        ASSERT_TRUE(AssertOnKey(*key, noPins, request, assertion, failure_, error)) << error;
        EXPECT_EQ(assertion.credentialId, enrolled.credentialId);
        gate::AuthenticatorData parsed;
        ASSERT_TRUE(gate::ParseAuthenticatorData(assertion.authenticatorData, parsed));
        EXPECT_EQ(parsed.flags & gate::kFlagUserPresent, gate::kFlagUserPresent);
        EXPECT_GT(parsed.signCount, lastCount);
        lastCount = parsed.signCount;
        EXPECT_TRUE(
            VerifySignature(enrolled.credentialPublicKey,
                            gate::AssertionSignedData(assertion.authenticatorData, clientData),
                            assertion.signature));
    }
    EXPECT_EQ(authenticator_.touchesAsked(), 3);
}

TEST_F(SecurityKeyTest, PinIsAskedWhenNeededAndAWrongOneIsNamed) {
    authenticator_.setPin("4711");
    std::unique_ptr<SecurityKey> key = open();
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->hasPin());

    // Enrollment on a key with a PIN needs it, and the key then reports verification.
    ScriptedPins right({"4711"});
    const gate::AuthenticatorData enrolled = enroll(*key, right, true);
    EXPECT_EQ(right.asked, 1);
    EXPECT_EQ(enrolled.flags & gate::kFlagUserVerified, gate::kFlagUserVerified);

    AssertionRequest request;
    request.rpId = kRpId;
    request.allowedCredentials = {enrolled.credentialId};
    request.clientDataHash = Bytes(32, 9);
    // A gate that does not ask for verification gets a touch only, without a PIN prompt.
    ScriptedPins none({});
    KeyAssertion assertion;
    std::string error;
    ASSERT_TRUE(AssertOnKey(*key, none, request, assertion, failure_, error)) << error;
    EXPECT_EQ(none.asked, 0);
    gate::AuthenticatorData parsed;
    ASSERT_TRUE(gate::ParseAuthenticatorData(assertion.authenticatorData, parsed));
    EXPECT_EQ(parsed.flags & gate::kFlagUserVerified, 0);

    request.userVerification = true;
    ScriptedPins wrong({"1234"});
    EXPECT_FALSE(AssertOnKey(*key, wrong, request, assertion, failure_, error));
    EXPECT_EQ(error, "wrong PIN; the key locks after 7 more wrong PINs");
    EXPECT_EQ(failure_, KeyFailure::WrongPin);
    EXPECT_EQ(authenticator_.pinRetries(), 7);

    ScriptedPins corrected({"4711"});
    ASSERT_TRUE(AssertOnKey(*key, corrected, request, assertion, failure_, error)) << error;
    ASSERT_TRUE(gate::ParseAuthenticatorData(assertion.authenticatorData, parsed));
    EXPECT_EQ(parsed.flags & gate::kFlagUserVerified, gate::kFlagUserVerified);
    EXPECT_EQ(authenticator_.pinRetries(), 8);
}

TEST_F(SecurityKeyTest, RefusalsOfTheKeyBecomeSentences) {
    std::unique_ptr<SecurityKey> key = open();
    ASSERT_NE(key, nullptr);
    ScriptedPins none({});
    std::string error;

    // Verification wanted from a key that has no PIN: said before the key is bothered.
    NewCredential credential;
    EXPECT_FALSE(CreateOnKey(*key, none, creation(Bytes(1, 1), true), credential, failure_, error));
    EXPECT_NE(error.find("requires user verification, but your security key has no PIN set"),
              std::string::npos)
        << error;
    EXPECT_EQ(failure_, KeyFailure::NoUserVerification);
    EXPECT_EQ(authenticator_.touchesAsked(), 0);

    AssertionRequest request;
    request.rpId = kRpId;
    request.clientDataHash = Bytes(32, 3);
    request.allowedCredentials = {Bytes(40, 0xee)};
    KeyAssertion assertion;
    EXPECT_FALSE(AssertOnKey(*key, none, request, assertion, failure_, error));
    EXPECT_EQ(error, "this security key is not enrolled on this gate");
    EXPECT_EQ(failure_, KeyFailure::NotEnrolled);

    authenticator_.setTouched(false);
    EXPECT_FALSE(CreateOnKey(*key, none, creation(Bytes(1, 1)), credential, failure_, error));
    EXPECT_EQ(error, "the security key was not touched in time");
    EXPECT_EQ(failure_, KeyFailure::NoTouch);
    EXPECT_EQ(authenticator_.credentialCount(), 0u);
}

}  // namespace
}  // namespace vel::client
