#include "support/software_authenticator.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "core/encoding.h"
#include "support/cbor_writer.h"

namespace vel::test {

namespace {

constexpr std::uint8_t kFlagAttestedData = 0x40;

[[noreturn]] void Fail(const char* step) {
    throw std::runtime_error(std::string(step) + " failed");
}

Bytes Random(std::size_t count) {
    Bytes out(count);
    if (RAND_bytes(out.data(), static_cast<int>(count)) != 1) Fail("RAND_bytes");
    return out;
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

Bytes DerToRawSignature(const Bytes& der, std::size_t coordinateSize) {
    const unsigned char* p = der.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig) Fail("d2i_ECDSA_SIG");
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    Bytes raw(2 * coordinateSize);
    const int size = static_cast<int>(coordinateSize);
    if (BN_bn2binpad(r, raw.data(), size) != size ||
        BN_bn2binpad(s, raw.data() + coordinateSize, size) != size) {
        Fail("BN_bn2binpad");
    }
    return raw;
}

SoftwareAuthenticator::SoftwareAuthenticator()
    : key_(EVP_EC_gen("P-256")), credentialId_(Random(16)), aaguid_{0x5a, 0x0b, 0x1c, 0x2d,
                                                                    0x3e, 0x4f, 0x50, 0x61,
                                                                    0x72, 0x83, 0x94, 0xa5,
                                                                    0xb6, 0xc7, 0xd8, 0xe9} {
    if (!key_) Fail("EVP_EC_gen");
    Bytes point(65);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                        point.size(), &length) != 1 ||
        length != 65 || point[0] != 0x04) {
        Fail("EVP_PKEY_get_octet_string_param");
    }
    x_.assign(point.begin() + 1, point.begin() + 33);
    y_.assign(point.begin() + 33, point.end());
}

CoseKey SoftwareAuthenticator::publicKey() const {
    CoseKey key;
    key.alg = -7;
    key.crv = 1;
    key.x = x_;
    key.y = y_;
    return key;
}

Bytes SoftwareAuthenticator::cosePublicKey() const {
    CborWriter cbor;
    cbor.map(5).integer(1).integer(2).integer(3).integer(-7);
    cbor.integer(-1).integer(1).integer(-2).bytes(x_).integer(-3).bytes(y_);
    return cbor.data();
}

Registration SoftwareAuthenticator::makeCredential(std::string_view rpId, std::string_view origin,
                                                   const Bytes& challenge, std::uint8_t flags) {
    const Bytes key = cosePublicKey();
    const Bytes authData =
        BuildAuthenticatorData(rpId, flags, signCount_, &aaguid_, &credentialId_, &key);
    CborWriter attestation;
    attestation.map(3).text("fmt").text("none").text("attStmt").map(0);
    attestation.text("authData").bytes(authData);
    return {ClientDataJson("webauthn.create", challenge, origin), attestation.data()};
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
    assertion.signature = sign(signedData);
    return assertion;
}

Bytes SoftwareAuthenticator::sign(const Bytes& data) const {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) {
        Fail("EVP_DigestSignInit");
    }
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        Fail("EVP_DigestSign");
    }
    signature.resize(length);
    return signature;
}

}  // namespace vel::test
