#include "gate/webauthn.h"

#include <gtest/gtest.h>

#include "core/encoding.h"
#include "gate/cose_key.h"
#include "gate/relying_party.h"
#include "support/cbor_writer.h"
#include "support/software_authenticator.h"

namespace vel::gate {
namespace {

using test::BuildAuthenticatorData;
using test::CborWriter;

const std::string kRpId(kRelyingPartyId);

Bytes Ec2Key(std::int64_t kty = 2) {
    CborWriter w;
    w.map(5).integer(1).integer(kty).integer(3).integer(-7).integer(-1).integer(1);
    w.integer(-2).bytes(Bytes(32, 0x11)).integer(-3).bytes(Bytes(32, 0x22));
    return w.data();
}

// Authenticator data with attested credential data whose id length field says idLength and
// which carries actualIdBytes id bytes followed by key.
Bytes AttestedData(std::size_t idLength, std::size_t actualIdBytes, const Bytes& key) {
    Bytes data = BuildAuthenticatorData(kRpId, 0x41, 7);
    data.insert(data.end(), 16, 0xAB);
    data.push_back(static_cast<std::uint8_t>(idLength >> 8));
    data.push_back(static_cast<std::uint8_t>(idLength));
    data.insert(data.end(), actualIdBytes, 0xCD);
    data.insert(data.end(), key.begin(), key.end());
    return data;
}

bool Parses(const Bytes& data) {
    AuthenticatorData parsed;
    return ParseAuthenticatorData(data, parsed);
}

// Well-formed EC2 and RSA keys are read at every enrollment in the gate API test.
TEST(DecodeCoseKey, RejectsIncompleteOrForeignKeys) {
    CoseKey key;
    const Bytes good = Ec2Key();
    EXPECT_FALSE(DecodeCoseKey(Bytes(good.begin(), good.end() - 1), key));
    EXPECT_FALSE(DecodeCoseKey(Ec2Key(1), key));  // OKP is not supported

    // Missing y, empty x, x as text, crv as bytes, alg as text.
    const auto ec2 = [](const Bytes& alg, const Bytes& crv, const Bytes& x, const Bytes* y) {
        CborWriter w;
        w.map(y != nullptr ? 5 : 4).integer(1).integer(2).integer(3).raw(alg);
        w.integer(-1).raw(crv).integer(-2).raw(x);
        if (y != nullptr) w.integer(-3).raw(*y);
        return w.data();
    };
    const Bytes es256 = CborWriter().integer(-7).data();
    const Bytes p256 = CborWriter().integer(1).data();
    const Bytes one = CborWriter().bytes({1}).data();
    const Bytes empty = CborWriter().bytes({}).data();
    ASSERT_TRUE(DecodeCoseKey(ec2(es256, p256, one, &one), key));
    key.alg = 99;
    EXPECT_FALSE(DecodeCoseKey(ec2(es256, p256, one, nullptr), key));
    EXPECT_FALSE(DecodeCoseKey(ec2(es256, p256, empty, &one), key));
    EXPECT_FALSE(DecodeCoseKey(ec2(es256, p256, CborWriter().text("x").data(), &one), key));
    EXPECT_FALSE(DecodeCoseKey(ec2(es256, one, one, &one), key));
    EXPECT_FALSE(DecodeCoseKey(ec2(CborWriter().text("ES256").data(), p256, one, &one), key));
    EXPECT_EQ(key.alg, 99);  // untouched by every failure
}

TEST(DecodeCoseKey, StoredJsonFormHasDefaultsOnlyForAlgAndCurve) {
    // alg and crv have defaults; x, y, n and e do not.
    CoseKey back;
    JsonValue minimal;
    ASSERT_TRUE(JsonParse(R"({"kty":"EC2","x":"AQ","y":"Ag"})", minimal));
    ASSERT_TRUE(CoseKeyFromJson(minimal, back));
    EXPECT_EQ(back.alg, -7);
    EXPECT_EQ(back.crv, 1);
    for (const char* text : {R"({"kty":"EC2","x":"AQ"})", R"({"kty":"EC2","x":"","y":"Ag"})",
                             R"({"kty":"EC2","x":"A*","y":"Ag"})", R"({"kty":"RSA","n":"AQ"})",
                             R"({"kty":"OKP","x":"AQ","y":"Ag"})", R"(["EC2"])"}) {
        JsonValue bad;
        ASSERT_TRUE(JsonParse(text, bad)) << text;
        EXPECT_FALSE(CoseKeyFromJson(bad, back)) << text;
    }
}

TEST(CheckCredentialKey, AcceptsOnlyEs256OnP256AndStrongRs256) {
    const CoseKey good = test::SoftwareAuthenticator().publicKey();
    CoseKey rsa;
    rsa.alg = -257;
    rsa.n = Bytes(256, 0xC5);
    rsa.e = {0x00, 0x01, 0x00, 0x01};  // a leading zero does not change the value
    std::string why;
    EXPECT_TRUE(CheckCredentialKey(good, why)) << why;
    EXPECT_TRUE(CheckCredentialKey(rsa, why)) << why;

    const struct {
        bool isRsa;
        void (*change)(CoseKey&);
        const char* reason;
    } refused[] = {
        {false, [](CoseKey& k) { k.crv = 2; }, "an EC2 key must be on P-256 (crv 1), not crv 2"},
        {false, [](CoseKey& k) { k.alg = -8; }, "an EC2 key must be ES256 (alg -7), not alg -8"},
        {false, [](CoseKey& k) { k.y[31] ^= 1; }, "the EC2 key is not a valid point on P-256"},
        {true, [](CoseKey& k) { k.n[0] = 0x7F; },
         "the RSA key has 2047 bits; at least 2048 are required"},
        {true, [](CoseKey& k) { k.e = {0x01}; }, "the RSA key's public exponent must be 65537"},
        {true, [](CoseKey& k) { k.alg = -37; }, "an RSA key must be RS256 (alg -257), not alg -37"},
    };
    for (const auto& bad : refused) {
        CoseKey key = bad.isRsa ? rsa : good;
        bad.change(key);
        EXPECT_FALSE(CheckCredentialKey(key, why)) << bad.reason;
        EXPECT_EQ(why, bad.reason);
    }
}

// The fields themselves are read at every authentication in the gate API test.
TEST(ParseAuthenticatorData, ReadsTheFixedPartAndAttestedCredentialDataWithinTheirLimits) {
    const Bytes plain = BuildAuthenticatorData(kRpId, 0x01, 0x01020304);
    EXPECT_TRUE(Parses(plain));
    EXPECT_FALSE(Parses(Bytes(plain.begin(), plain.end() - 1)));
    Bytes longer = plain;
    longer.push_back(0);
    EXPECT_FALSE(Parses(longer));

    const Bytes key = Ec2Key();
    AuthenticatorData parsed;
    ASSERT_TRUE(ParseAuthenticatorData(AttestedData(1, 1, key), parsed));
    EXPECT_EQ(parsed.credentialId, Bytes(1, 0xCD));

    ASSERT_TRUE(ParseAuthenticatorData(AttestedData(1023, 1023, key), parsed));
    EXPECT_EQ(parsed.credentialId.size(), 1023u);
    EXPECT_FALSE(Parses(AttestedData(1024, 1024, key)));
    EXPECT_FALSE(Parses(AttestedData(0, 0, key)));
    // An overstated length, though the key bytes would cover it.
    EXPECT_FALSE(Parses(AttestedData(20, 16, key)));
    // AT set but too short for the attested header, or no key after the id.
    const Bytes complete = AttestedData(1, 1, key);
    EXPECT_FALSE(Parses(Bytes(complete.begin(), complete.begin() + 54)));
    EXPECT_FALSE(Parses(AttestedData(4, 4, {})));
    // A key that is valid CBOR but no COSE key, a truncated key, and bytes after the key.
    EXPECT_FALSE(Parses(AttestedData(4, 4, {0xA0})));
    EXPECT_FALSE(Parses(AttestedData(4, 4, Bytes(key.begin(), key.end() - 1))));
    Bytes trailing = AttestedData(4, 4, key);
    trailing.push_back(0x00);
    EXPECT_FALSE(Parses(trailing));
}

TEST(ParseAuthenticatorData, SkipsExactlyOneExtensionsItem) {
    CborWriter extensions;
    extensions.map(1).text("credProtect").integer(2);
    Bytes data = BuildAuthenticatorData(kRpId, 0x81, 1);
    data.insert(data.end(), extensions.data().begin(), extensions.data().end());
    AuthenticatorData parsed;
    EXPECT_TRUE(ParseAuthenticatorData(data, parsed));

    // After attested data too.
    Bytes both = AttestedData(8, 8, Ec2Key());
    both[32] |= 0x80;
    both.insert(both.end(), extensions.data().begin(), extensions.data().end());
    EXPECT_TRUE(ParseAuthenticatorData(both, parsed));
    EXPECT_EQ(parsed.credentialId.size(), 8u);

    EXPECT_FALSE(Parses(BuildAuthenticatorData(kRpId, 0x81, 1)));  // ED without extensions
    data.push_back(0xA0);                                          // a second item
    EXPECT_FALSE(Parses(data));
}

TEST(VerifyClientData, ChecksEachMemberInOrderWithItsText) {
    const Bytes challenge = {0xFB, 0xFF, 0x10, 0x20};
    const std::string origin = RelyingPartyOrigin();
    const auto verify = [&](const std::string& json) {
        std::string error = "unset";
        const bool ok = VerifyClientData(BytesOf(json), "webauthn.get", challenge, origin, &error);
        return ok ? std::string("ok") : error;
    };
    const std::string good = R"("type":"webauthn.get","challenge":")" + Base64UrlEncode(challenge) +
                             R"(","origin":")" + origin + "\"";

    EXPECT_EQ(verify("{" + good + "}"), "ok");
    EXPECT_EQ(verify("{" + good + R"(,"crossOrigin":false})"), "ok");
    EXPECT_EQ(verify("{" + good + R"(,"crossOrigin":true})"), "crossOrigin not allowed");
    EXPECT_EQ(verify("{" + good + R"(,"crossOrigin":2})"), "crossOrigin not allowed");

    EXPECT_EQ(verify("{" + good), "clientData is not JSON");
    // The first failing check decides the text: a wrong type hides every later fault.
    EXPECT_EQ(verify(R"({"type":"webauthn.create","challenge":"*","origin":"x"})"),
              "clientData type mismatch");
    EXPECT_EQ(verify(R"({"type":"webauthn.get","challenge":"a*b","origin":"x"})"),
              "clientData challenge is not base64url");
    EXPECT_EQ(verify(R"({"type":"webauthn.get","challenge":"A","origin":"x"})"),
              "clientData challenge is not base64url");
    EXPECT_EQ(verify(R"({"type":"webauthn.get","challenge":"-_8Q","origin":"x"})"),
              "clientData challenge mismatch");  // a prefix of the right bytes
    EXPECT_EQ(verify(R"({"type":"webauthn.get","challenge":"-_8QIA","origin":")" + origin + "/\"}"),
              "clientData origin mismatch");
    // Standard base64 with padding carries the same bytes.
    EXPECT_EQ(verify(R"({"type":"webauthn.get","challenge":"+/8QIA==","origin":")" + origin +
                     R"(","crossOrigin":false})"),
              "ok");
}

}  // namespace
}  // namespace vel::gate
