#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "admin/self_test_support.h"
#include "core/bytes.h"

namespace vel::test {

// What a browser sends back from navigator.credentials.create().
struct Registration {
    Bytes clientDataJson;
    Bytes attestationObject;  // format "none"
};

// What a browser sends back from navigator.credentials.get().
struct Assertion {
    Bytes clientDataJson;
    Bytes authenticatorData;
    Bytes signature;  // ASN.1 DER, as authenticators produce it
};

// clientDataJSON as browsers write it.
Bytes ClientDataJson(std::string_view type, const Bytes& challenge, std::string_view origin);

// Authenticator data: SHA-256(rpId), flags, counter, and attested credential data when
// attestedCredential is given (the AT flag is then set as well).
Bytes BuildAuthenticatorData(std::string_view rpId, std::uint8_t flags, std::uint32_t signCount,
                             const Bytes* aaguid = nullptr, const Bytes* credentialId = nullptr,
                             const Bytes* cosePublicKey = nullptr);

// A FIDO2 security key in software: one ES256 (P-256) credential, "none" attestation and a
// counter that grows by one with every signature.
class SoftwareAuthenticator {
  public:
    // UP and UV, as a key with a PIN reports them.
    static constexpr std::uint8_t kDefaultFlags = 0x05;

    SoftwareAuthenticator();

    const Bytes& credentialId() const { return credentialId_; }
    const Bytes& aaguid() const { return aaguid_; }
    std::uint32_t signCount() const { return signCount_; }
    // The public key as the gate should decode it: alg -7, crv 1, 32-byte x and y.
    CoseKey publicKey() const { return admin::CoseKeyOf(key_); }

    // What an attacker's authenticator claims at registration instead of the truth: another
    // credential id, or a public key (COSE_Key CBOR) it does not hold.
    void claimCredentialId(const Bytes& credentialId) { credentialId_ = credentialId; }
    void claimPublicKey(const Bytes& cosePublicKey) { claimedKey_ = cosePublicKey; }

    Registration makeCredential(std::string_view rpId, std::string_view origin,
                                const Bytes& challenge, std::uint8_t flags = kDefaultFlags);
    Assertion getAssertion(std::string_view rpId, std::string_view origin, const Bytes& challenge,
                           std::uint8_t flags = kDefaultFlags);

  private:
    admin::TestKeyPair key_;
    Bytes credentialId_;
    Bytes aaguid_;
    Bytes claimedKey_;
    std::uint32_t signCount_ = 0;
};

}  // namespace vel::test
