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
    return {kRpId,          "Velmora",          Bytes(16, 0x42), "testhost (RDP 0123ab)",
            "RDP testhost", Sha256(clientData), verification};
}

class SecurityKeyTest : public ::testing::Test {
  protected:
    void SetUp() override { source_.attach("soft:0", authenticator_); }

    std::unique_ptr<SecurityKey> open() {
        std::unique_ptr<SecurityKey> key = SecurityKey::open(source_, "", error_);
        EXPECT_NE(key, nullptr) << error_;
        return key;
    }

    // Enrolls through libfido2 and returns what the gate would store.
    gate::AuthenticatorData enroll(SecurityKey& key, PinPrompt& pins, bool verification = false) {
        const Bytes clientData =
            ClientDataJson("webauthn.create", Bytes(32, 7), gate::RelyingPartyOrigin());
        NewCredential credential;
        EXPECT_TRUE(CreateOnKey(key, pins, creation(clientData, verification), credential, failure_,
                                error_))
            << error_;
        Bytes authData;
        EXPECT_TRUE(gate::ParseAttestationObject(
            NoneAttestationObject(credential.authenticatorData), authData, nullptr));
        gate::AuthenticatorData parsed;
        EXPECT_TRUE(gate::ParseAuthenticatorData(authData, parsed));
        EXPECT_EQ(parsed.credentialId, credential.credentialId);
        return parsed;
    }

    // Signs request.clientDataHash; the authenticator data as the gate parses it.
    bool sign(SecurityKey& key, PinPrompt& pins, const AssertionRequest& request,
              gate::AuthenticatorData& parsed) {
        return AssertOnKey(key, pins, request, assertion_, failure_, error_) &&
               gate::ParseAuthenticatorData(assertion_.authenticatorData, parsed);
    }

    test::CtapAuthenticator authenticator_;
    test::SoftKeySource source_;
    KeyFailure failure_ = KeyFailure::None;
    std::string error_;
    KeyAssertion assertion_;
};

// That the gate accepts what the key signs is seen end to end; here the PIN's part in it.
TEST_F(SecurityKeyTest, EnrollsSignsAndAsksForThePinOnlyWhenNeeded) {
    authenticator_.setPin("4711");
    std::unique_ptr<SecurityKey> key = open();
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->hasPin());

    // Enrollment on a key with a PIN needs it, and the key then reports verification.
    ScriptedPins right({"4711"});
    const gate::AuthenticatorData enrolled = enroll(*key, right, true);
    EXPECT_EQ(right.asked, 1);
    EXPECT_EQ(enrolled.rpIdHash, Sha256(BytesOf(kRpId)));
    EXPECT_EQ(enrolled.flags & gate::kFlagUserVerified, gate::kFlagUserVerified);

    AssertionRequest request;
    request.rpId = kRpId;
    // A key that is not this one comes first: the key must pick its own from the list.
    request.allowedCredentials = {Bytes(32, 1), enrolled.credentialId};
    const Bytes clientData =
        ClientDataJson("webauthn.get", Bytes(32, 3), gate::RelyingPartyOrigin());
    request.clientDataHash = Sha256(clientData);
    // A gate that does not ask for verification gets a touch only, without a PIN prompt.
    ScriptedPins none({});
    gate::AuthenticatorData parsed;
    ASSERT_TRUE(sign(*key, none, request, parsed)) << error_;
    EXPECT_EQ(none.asked, 0);
    EXPECT_EQ(assertion_.credentialId, enrolled.credentialId);
    EXPECT_EQ(parsed.flags & gate::kFlagUserVerified, 0);
    EXPECT_TRUE(VerifySignature(enrolled.credentialPublicKey,
                                gate::AssertionSignedData(assertion_.authenticatorData, clientData),
                                assertion_.signature));

    request.userVerification = true;
    ScriptedPins wrong({"1234"});
    EXPECT_FALSE(sign(*key, wrong, request, parsed));
    EXPECT_EQ(error_, "wrong PIN; the key locks after 7 more wrong PINs");
    EXPECT_EQ(failure_, KeyFailure::WrongPin);

    ScriptedPins corrected({"4711"});
    ASSERT_TRUE(sign(*key, corrected, request, parsed)) << error_;
    EXPECT_EQ(parsed.flags & gate::kFlagUserVerified, gate::kFlagUserVerified);
    EXPECT_EQ(authenticator_.pinRetries(), 8);
}

// A key that is not enrolled is named as such end to end.
TEST_F(SecurityKeyTest, RefusalsOfTheKeyBecomeSentences) {
    std::unique_ptr<SecurityKey> key = open();
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(key->hasPin());
    ScriptedPins none({});

    // Verification wanted from a key that has no PIN: said before the key is bothered.
    NewCredential credential;
    EXPECT_FALSE(
        CreateOnKey(*key, none, creation(Bytes(1, 1), true), credential, failure_, error_));
    EXPECT_NE(error_.find("requires user verification, but your security key has no PIN set"),
              std::string::npos)
        << error_;
    EXPECT_EQ(failure_, KeyFailure::NoUserVerification);
    EXPECT_EQ(authenticator_.touchesAsked(), 0);

    authenticator_.setTouched(false);
    EXPECT_FALSE(CreateOnKey(*key, none, creation(Bytes(1, 1)), credential, failure_, error_));
    EXPECT_EQ(error_, "the security key was not touched in time");
    EXPECT_EQ(failure_, KeyFailure::NoTouch);
}

}  // namespace
}  // namespace vel::client
