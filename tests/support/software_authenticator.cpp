#include "support/software_authenticator.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::test {

namespace {

constexpr std::uint8_t kFlagAttestedData = 0x40;

[[noreturn]] void Fail(const char* step) {
    throw std::runtime_error(std::string(step) + " failed");
}

// Computed with OpenSSL directly, independently of the code under test.
Bytes Sha256Of(const void* data, std::size_t size) {
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        Fail("EVP_Digest");
    }
    return digest;
}

}  // namespace

Bytes ClientDataJson(std::string_view type, const Bytes& challenge, std::string_view origin) {
    const std::string text = "{\"type\":\"" + std::string(type) + "\",\"challenge\":\"" +
                             Base64UrlEncode(challenge) + "\",\"origin\":\"" + std::string(origin) +
                             "\",\"crossOrigin\":false}";
    return BytesOf(text);
}

Bytes BuildAuthenticatorData(std::string_view rpId, std::uint8_t flags, std::uint32_t signCount,
                             const Bytes* aaguid, const Bytes* credentialId,
                             const Bytes* cosePublicKey) {
    Bytes data = Sha256Of(rpId.data(), rpId.size());
    const bool attested = credentialId != nullptr;
    data.push_back(attested ? static_cast<std::uint8_t>(flags | kFlagAttestedData) : flags);
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(signCount >> shift));
    }
    if (attested) {
        data.insert(data.end(), aaguid->begin(), aaguid->end());
        data.push_back(static_cast<std::uint8_t>(credentialId->size() >> 8));
        data.push_back(static_cast<std::uint8_t>(credentialId->size()));
        data.insert(data.end(), credentialId->begin(), credentialId->end());
        data.insert(data.end(), cosePublicKey->begin(), cosePublicKey->end());
    }
    return data;
}

SoftwareAuthenticator::SoftwareAuthenticator()
    : credentialId_(RandomBytes(16)), aaguid_{0x5a, 0x0b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x61,
                                              0x72, 0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9} {
    if (!admin::MakeP256TestKey(key_)) Fail("MakeP256TestKey");
}

Registration SoftwareAuthenticator::makeCredential(std::string_view rpId, std::string_view origin,
                                                   const Bytes& challenge, std::uint8_t flags) {
    const Bytes key = claimedKey_.empty() ? admin::CoseKeyBytes(key_.x, key_.y) : claimedKey_;
    const Bytes authData =
        BuildAuthenticatorData(rpId, flags, signCount_, &aaguid_, &credentialId_, &key);
    Bytes attestation = admin::CborMapHead(3);
    for (const Bytes& item : {admin::CborTextString("fmt"), admin::CborTextString("none"),
                              admin::CborTextString("attStmt"), admin::CborMapHead(0),
                              admin::CborTextString("authData"), admin::CborByteString(authData)}) {
        admin::Append(attestation, item);
    }
    return {ClientDataJson("webauthn.create", challenge, origin), attestation};
}

Assertion SoftwareAuthenticator::getAssertion(std::string_view rpId, std::string_view origin,
                                              const Bytes& challenge, std::uint8_t flags) {
    Assertion assertion;
    assertion.clientDataJson = ClientDataJson("webauthn.get", challenge, origin);
    assertion.authenticatorData = BuildAuthenticatorData(rpId, flags, ++signCount_);
    Bytes signedData = assertion.authenticatorData;
    const Bytes clientDataHash =
        Sha256Of(assertion.clientDataJson.data(), assertion.clientDataJson.size());
    signedData.insert(signedData.end(), clientDataHash.begin(), clientDataHash.end());
    if (!admin::SignWithTestKey(key_, signedData, assertion.signature)) Fail("SignWithTestKey");
    return assertion;
}

}  // namespace vel::test
