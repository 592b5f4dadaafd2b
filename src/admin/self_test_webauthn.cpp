// Self-test group for WebAuthn: a registration and an assertion made with a software P-256 key,
// checked by the same parsers and verifiers the enrollment and authentication endpoints use.
#include "admin/self_test.h"
#include "admin/self_test_support.h"
#include "core/crypto.h"
#include "core/encoding.h"
#include "gate/relying_party.h"
#include "gate/webauthn.h"

namespace vel::admin {

using gate::AssertionSignedData;
using gate::AuthenticatorData;
using gate::kFlagAttestedData;
using gate::kFlagUserPresent;
using gate::kFlagUserVerified;
using gate::ParseAttestationObject;
using gate::ParseAuthenticatorData;
using gate::RelyingPartyOrigin;
using gate::RpIdHash;
using gate::VerifyClientData;

namespace {

constexpr std::uint32_t kRegistrationCounter = 41;
constexpr std::uint32_t kAssertionCounter = 42;
constexpr std::size_t kCredentialIdOffset = 32 + 1 + 4 + 16;  // rpIdHash, flags, counter, aaguid

Bytes clientData(std::string_view type, const Bytes& challenge) {
    return BytesOf(R"({"type":")" + std::string(type) + R"(","challenge":")" +
                   Base64UrlEncode(challenge) + R"(","origin":")" + RelyingPartyOrigin() +
                   R"(","crossOrigin":false})");
}

// Authenticator data as a security key writes it; attested credential data when a key is given.
Bytes authenticatorData(const Bytes& rpIdHash, std::uint32_t counter,
                        const Bytes* credentialId = nullptr, const Bytes* coseKey = nullptr) {
    Bytes data = rpIdHash;
    std::uint8_t flags = kFlagUserPresent | kFlagUserVerified;
    if (credentialId != nullptr) flags |= kFlagAttestedData;
    data.push_back(flags);
    for (int shift = 24; shift >= 0; shift -= 8)
        data.push_back(static_cast<std::uint8_t>(counter >> shift));
    if (credentialId != nullptr) {
        data.insert(data.end(), 16, 0);  // aaguid: none
        data.push_back(static_cast<std::uint8_t>(credentialId->size() >> 8));
        data.push_back(static_cast<std::uint8_t>(credentialId->size()));
        Append(data, *credentialId);
        Append(data, *coseKey);
    }
    return data;
}

Bytes attestationObject(const Bytes& authData) {
    Bytes out = CborMapHead(3);
    Append(out, CborTextString("fmt"));
    Append(out, CborTextString("none"));
    Append(out, CborTextString("attStmt"));
    Append(out, CborMapHead(0));
    Append(out, CborTextString("authData"));
    Append(out, CborByteString(authData));
    return out;
}

bool rejected(const Bytes& authData) {
    AuthenticatorData ignored;
    return !ParseAuthenticatorData(authData, ignored);
}

}  // namespace

void SelfTestRegistration(SelfTest& test) {
    test.group("Registration and assertion");
    TestKeyPair pair;
    if (!MakeP256TestKey(pair)) {
        test.check(false, "failed to create a P-256 test key");
        return;
    }

    // Registration: what navigator.credentials.create() hands the enrollment endpoint.
    const Bytes credentialId = RandomBytes(32);
    const Bytes coseKey = CoseKeyBytes(pair.x, pair.y);
    const Bytes registrationData =
        authenticatorData(RpIdHash(), kRegistrationCounter, &credentialId, &coseKey);
    Bytes authData;
    std::string format;
    test.check(ParseAttestationObject(attestationObject(registrationData), authData, &format) &&
                   format == "none" && authData == registrationData,
               "attestationObject parses");
    AuthenticatorData registration;
    test.check(ParseAuthenticatorData(authData, registration) && registration.hasAttestedData,
               "authenticatorData parses");
    test.check(registration.credentialId == credentialId, "the credential id is extracted");
    const CoseKey& key = registration.credentialPublicKey;
    test.check(key.alg == -7 && key.crv == 1 && key.x == pair.x && key.y == pair.y,
               "the public key matches the generated one");
    test.check((registration.flags & kFlagUserPresent) != 0 &&
                   (registration.flags & kFlagUserVerified) != 0,
               "the UP and UV flags are read");
    test.check(registration.rpIdHash == RpIdHash(), "the rpId hash matches");

    // Assertion: what navigator.credentials.get() hands the authentication endpoint.
    const Bytes challenge = RandomBytes(32);
    const Bytes assertionClientData = clientData("webauthn.get", challenge);
    const Bytes assertionData = authenticatorData(RpIdHash(), kAssertionCounter);
    const Bytes message = AssertionSignedData(assertionData, assertionClientData);
    Bytes signature;
    if (!SignWithTestKey(pair, message, signature)) {
        test.check(false, "failed to sign the test message");
        return;
    }
    const CoseKey publicKey = CoseKeyOf(pair);
    test.check(VerifySignature(publicKey, message, signature), "a valid DER signature is accepted");
    const Bytes raw = RawSignatureOf(signature);
    test.check(!raw.empty() && VerifySignature(publicKey, message, raw),
               "a raw r||s signature is accepted too");
    Bytes tamperedSignature = signature;
    tamperedSignature[tamperedSignature.size() - 2] ^= 0x01;
    test.check(!VerifySignature(publicKey, message, tamperedSignature),
               "a tampered signature is rejected");
    Bytes tamperedMessage = message;
    tamperedMessage[0] ^= 0x01;
    test.check(!VerifySignature(publicKey, tamperedMessage, signature),
               "a tampered message is rejected");
    TestKeyPair otherPair;
    test.check(
        MakeP256TestKey(otherPair) && !VerifySignature(CoseKeyOf(otherPair), message, signature),
        "the signature fails with a different key");
    test.check(!VerifySignature(publicKey, message, {}), "an empty signature is rejected");

    const std::string origin = RelyingPartyOrigin();
    test.check(VerifyClientData(assertionClientData, "webauthn.get", challenge, origin),
               "clientDataJSON passes the check");
    test.check(!VerifyClientData(assertionClientData, "webauthn.get", RandomBytes(32), origin),
               "a foreign challenge is rejected");
    test.check(
        !VerifyClientData(assertionClientData, "webauthn.get", challenge, "https://evil.example"),
        "a foreign origin is rejected");
    AuthenticatorData foreign;
    test.check(
        ParseAuthenticatorData(
            authenticatorData(Sha256(BytesOf("evil.example")), kAssertionCounter), foreign) &&
            foreign.rpIdHash != RpIdHash(),
        "authData from a foreign rpId differs in hash");

    AuthenticatorData assertion;
    const bool assertionParsed = ParseAuthenticatorData(assertionData, assertion);
    test.check(registration.signCount == kRegistrationCounter, "the registration counter is read");
    test.check(assertionParsed && assertion.signCount == kAssertionCounter,
               "the assertion counter is read");
    test.check(assertionParsed && assertion.signCount > registration.signCount,
               "the counter increased - no replay detected");

    test.check(rejected(Bytes(registrationData.begin(), registrationData.end() - 1)),
               "a truncated authenticatorData is rejected");
    Bytes trailing = registrationData;
    trailing.push_back(0x00);
    test.check(rejected(trailing), "trailing bytes are rejected");
    Bytes overstated = registrationData;
    const std::size_t claimed = credentialId.size() + 100;
    overstated[kCredentialIdOffset] = static_cast<std::uint8_t>(claimed >> 8);
    overstated[kCredentialIdOffset + 1] = static_cast<std::uint8_t>(claimed);
    test.check(rejected(overstated), "an overstated credential id length is rejected");
}

}  // namespace vel::admin
