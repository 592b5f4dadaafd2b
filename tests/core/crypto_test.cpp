#include "core/crypto.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/encoding.h"
#include "core/openssl_ptr.h"

namespace vel {
namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

TEST(Hash, DigestHmacAndComparison) {
    EXPECT_EQ(HexEncode(Sha256(BytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // RFC 4231 case 6: a key longer than the block is hashed first.
    EXPECT_EQ(HexEncode(HmacSha256(Bytes(131, 0xaa), BytesOf("Test Using Larger Than "
                                                             "Block-Size Key - Hash Key First"))),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");

    const Bytes base = {1, 2, 3, 4, 5};
    EXPECT_TRUE(ConstantTimeEqual(base, base));
    EXPECT_FALSE(ConstantTimeEqual(base, {1, 2, 3, 4, 6}));
    EXPECT_FALSE(ConstantTimeEqual(base, {1, 2, 3, 4}));
    EXPECT_FALSE(ConstantTimeEqual({}, {0}));
}

// Signatures are produced here with OpenSSL and checked through VerifySignature.
class Signature : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        p256_.reset(EVP_EC_gen("P-256"));
        rsa_.reset(EVP_RSA_gen(2048));
    }
    static void TearDownTestSuite() {
        p256_.reset();
        rsa_.reset();
    }

    static Bytes bignumParam(EVP_PKEY* key, const char* name, int padTo = 0) {
        BIGNUM* raw = nullptr;
        check(EVP_PKEY_get_bn_param(key, name, &raw) == 1, "EVP_PKEY_get_bn_param");
        const BignumPtr bn(raw);
        Bytes out(padTo > 0 ? padTo : BN_num_bytes(bn.get()));
        check(BN_bn2binpad(bn.get(), out.data(), static_cast<int>(out.size())) >= 0, "pad");
        return out;
    }

    static CoseKey ecKey(EVP_PKEY* key, std::int32_t crv, int size) {
        CoseKey cose;
        cose.alg = -7;
        cose.crv = crv;
        cose.x = bignumParam(key, OSSL_PKEY_PARAM_EC_PUB_X, size);
        cose.y = bignumParam(key, OSSL_PKEY_PARAM_EC_PUB_Y, size);
        return cose;
    }

    static CoseKey rsaKey(std::int32_t alg) {
        CoseKey cose;
        cose.alg = alg;
        cose.n = bignumParam(rsa_.get(), OSSL_PKEY_PARAM_RSA_N);
        cose.e = bignumParam(rsa_.get(), OSSL_PKEY_PARAM_RSA_E);
        return cose;
    }

    // pssSalt 0 signs with the key's default padding (PKCS #1 v1.5 for RSA).
    static Bytes sign(EVP_PKEY* key, const char* digest, const Bytes& data, int pssSalt = 0) {
        const EvpMdCtxPtr ctx(EVP_MD_CTX_new());
        EVP_PKEY_CTX* pctx = nullptr;
        check(EVP_DigestSignInit_ex(ctx.get(), &pctx, digest, nullptr, nullptr, key, nullptr) == 1,
              "EVP_DigestSignInit_ex");
        if (pssSalt > 0) {
            check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                      EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, pssSalt) == 1,
                  "PSS parameters");
        }
        std::size_t length = 0;
        check(EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) == 1, "size");
        Bytes sig(length);
        check(EVP_DigestSign(ctx.get(), sig.data(), &length, data.data(), data.size()) == 1,
              "EVP_DigestSign");
        sig.resize(length);
        return sig;
    }

    static Bytes derToRaw(const Bytes& der, int size) {
        const std::uint8_t* p = der.data();
        const EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
        check(sig != nullptr, "d2i_ECDSA_SIG");
        Bytes raw(2 * size);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), size);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + size, size);
        return raw;
    }

    static Bytes integer(const Bytes& value) {
        Bytes out = {0x02, static_cast<std::uint8_t>(value.size())};
        out.insert(out.end(), value.begin(), value.end());
        return out;
    }

    // A DER SEQUENCE, its length in the short form or in the long form with one or two bytes.
    static Bytes sequence(const Bytes& content, int lengthBytes = 0) {
        const auto size = static_cast<std::uint8_t>(content.size());
        Bytes out = lengthBytes == 0   ? Bytes{0x30, size}
                    : lengthBytes == 1 ? Bytes{0x30, 0x81, size}
                                       : Bytes{0x30, 0x82, 0, size};
        out.insert(out.end(), content.begin(), content.end());
        return out;
    }

    static Bytes concat(Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    static inline EvpPkeyPtr p256_, rsa_;
    const Bytes data_ = BytesOf("authenticator data || client data hash");
};

TEST_F(Signature, Es256AcceptsDerAndRawForms) {
    const CoseKey key = ecKey(p256_.get(), 1, 32);
    // Sign until r has its top bit set, so DER carries it as 33 bytes with a leading zero.
    Bytes der;
    do {
        der = sign(p256_.get(), "SHA256", data_);
    } while (der[3] != 33);
    EXPECT_TRUE(VerifySignature(key, data_, der));
    const Bytes raw = derToRaw(der, 32);
    EXPECT_TRUE(VerifySignature(key, data_, raw));
    EXPECT_FALSE(VerifySignature(key, data_, concat(raw, {0})));

    // A raw signature may begin with the SEQUENCE tag by chance; it must still be read as raw.
    Bytes tagged;
    do {
        tagged = derToRaw(sign(p256_.get(), "SHA256", data_), 32);
    } while (tagged[0] != 0x30);
    EXPECT_TRUE(VerifySignature(key, data_, tagged));
}

TEST_F(Signature, LenientDerIsAcceptedAndMalformedDerRefused) {
    const CoseKey key = ecKey(p256_.get(), 1, 32);
    const Bytes raw = derToRaw(sign(p256_.get(), "SHA256", data_), 32);
    const Bytes r(raw.begin(), raw.begin() + 32);
    const Bytes s(raw.begin() + 32, raw.end());
    const Bytes body = concat(integer(r), integer(s));

    // Fixed-width values without a sign byte, both long length forms, redundant leading zeros.
    for (const Bytes& sig : {sequence(body), sequence(body, 1), sequence(body, 2),
                             sequence(concat(integer(concat({0, 0, 0}, r)), integer(s)))}) {
        EXPECT_TRUE(VerifySignature(key, data_, sig)) << HexEncode(sig);
    }

    Bytes badTag = sequence(body);
    badTag[2] = 0x03;
    Bytes longInteger = sequence(body);
    longInteger[3] = 0x81;
    Bytes overrun = sequence(body);
    overrun[2 + 34 + 1] = 33;  // s claims one byte more than is left
    Bytes shortLength = sequence(body);
    --shortLength[1];  // the INTEGERs run past the declared end
    // 0x83 is neither a short length nor an accepted long form, even where 131 would fit.
    const Bytes padded = concat(integer(concat(Bytes(30, 0), r)), integer(concat(Bytes(33, 0), s)));
    const Bytes cases[] = {
        concat(sequence(body), {0}),                 // trailing byte
        sequence(concat(body, {0x02, 0x01, 0x01})),  // third element
        sequence(integer(r)),                        // one INTEGER
        concat({0x30, 0x83}, padded),
        shortLength,
        badTag,
        longInteger,
        overrun,
        sequence(concat(integer(concat({1}, r)), integer(s))),  // r longer than 32 bytes
        sequence(concat(integer({}), integer(s))),              // empty INTEGER
        {0x30},
        {0x30, 0x00},
    };
    for (const Bytes& sig : cases) EXPECT_FALSE(VerifySignature(key, data_, sig)) << HexEncode(sig);
}

TEST_F(Signature, TheCurveDecidesTheHashAndTheCoordinateSize) {
    const EvpPkeyPtr p384(EVP_EC_gen("P-384")), p521(EVP_EC_gen("P-521"));
    const CoseKey k384 = ecKey(p384.get(), 2, 48);
    const Bytes der384 = sign(p384.get(), "SHA384", data_);
    EXPECT_TRUE(VerifySignature(k384, data_, der384));
    EXPECT_TRUE(VerifySignature(k384, data_, derToRaw(der384, 48)));
    EXPECT_FALSE(VerifySignature(k384, data_, sign(p384.get(), "SHA256", data_)));
    // P-521 signatures exceed 127 bytes, so OpenSSL writes the 0x81 long length form.
    EXPECT_TRUE(
        VerifySignature(ecKey(p521.get(), 3, 66), data_, sign(p521.get(), "SHA512", data_)));

    // The curve, not alg, decides: a mislabelled curve fails, a mislabelled alg does not.
    CoseKey relabelled = k384;
    relabelled.alg = -257;
    EXPECT_TRUE(VerifySignature(relabelled, data_, der384));
    for (std::int32_t crv : {0, 3, 4, 6}) {
        relabelled.crv = crv;
        EXPECT_FALSE(VerifySignature(relabelled, data_, der384)) << crv;
    }
}

TEST_F(Signature, TamperedSignaturesAndMalformedKeysAreRefused) {
    const CoseKey key = ecKey(p256_.get(), 1, 32);
    const Bytes sig = sign(p256_.get(), "SHA256", data_);
    Bytes message = data_;
    message[0] ^= 1;
    EXPECT_FALSE(VerifySignature(key, message, sig));
    Bytes tampered = sig;
    tampered.back() ^= 1;
    for (const Bytes& bad : {tampered, Bytes{}, Bytes(64, 0)}) {
        EXPECT_FALSE(VerifySignature(key, data_, bad)) << HexEncode(bad);
    }

    const auto refused = [&](void (*damage)(CoseKey&)) {
        CoseKey damaged = key;
        damage(damaged);
        return !VerifySignature(damaged, data_, sig);
    };
    EXPECT_TRUE(refused(+[](CoseKey& k) { k = CoseKey{}; }));
    EXPECT_TRUE(refused(+[](CoseKey& k) { k.alg = -8; }));                  // EdDSA
    EXPECT_TRUE(refused(+[](CoseKey& k) { k.x.insert(k.x.begin(), 0); }));  // 33 bytes
    EXPECT_TRUE(refused(+[](CoseKey& k) { k.x.insert(k.x.begin(), 4); }));  // 33 bytes
    EXPECT_TRUE(refused(+[](CoseKey& k) { k.y.back() ^= 1; }));             // off the curve
    EXPECT_TRUE(refused(+[](CoseKey& k) { k.y.clear(); }));
}

TEST_F(Signature, ManyKeysFromManyThreads) {
    // More keys than are kept imported, so threads keep replacing keys others are using.
    struct Signed {
        CoseKey key;
        Bytes sig;
    };
    std::vector<Signed> keys;
    for (int i = 0; i < 40; ++i) {
        const EvpPkeyPtr pkey(EVP_EC_gen("P-256"));
        keys.push_back({ecKey(pkey.get(), 1, 32), sign(pkey.get(), "SHA256", data_)});
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < 3 * keys.size(); ++i) {
                const std::size_t at = (i * (t + 1) + t) % keys.size();
                failures += !VerifySignature(keys[at].key, data_, keys[at].sig);
                failures += VerifySignature(keys[at].key, data_, keys[(at + 1) % keys.size()].sig);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(Signature, RsaPaddingAndHashMustMatchTheAlgorithm) {
    const std::pair<std::int32_t, const char*> algs[] = {
        {-257, "SHA256"}, {-258, "SHA384"}, {-259, "SHA512"}};
    for (const auto& [alg, digest] : algs) {
        const Bytes sig = sign(rsa_.get(), digest, data_);
        for (const auto& [otherAlg, otherDigest] : algs) {
            EXPECT_EQ(VerifySignature(rsaKey(otherAlg), data_, sig), alg == otherAlg)
                << digest << " signature checked as " << otherDigest;
        }
        EXPECT_FALSE(VerifySignature(rsaKey(alg), data_, Bytes(sig.begin() + 1, sig.end())));
    }
    // PSS only with SHA-256 and a 32-byte salt.
    const Bytes pss = sign(rsa_.get(), "SHA256", data_, 32);
    EXPECT_TRUE(VerifySignature(rsaKey(-37), data_, pss));
    EXPECT_FALSE(VerifySignature(rsaKey(-257), data_, pss));
    EXPECT_FALSE(VerifySignature(rsaKey(-37), data_, sign(rsa_.get(), "SHA256", data_, 20)));
    EXPECT_FALSE(VerifySignature(rsaKey(-37), data_, sign(rsa_.get(), "SHA256", data_)));

    // EC algorithm numbers, EdDSA and moduli that are absent or too large mean nothing.
    const Bytes sig = sign(rsa_.get(), "SHA256", data_);
    EXPECT_FALSE(VerifySignature(rsaKey(-7), data_, sig));
    EXPECT_FALSE(VerifySignature(rsaKey(-8), data_, sig));
    CoseKey noModulus = rsaKey(-257);
    noModulus.n.clear();
    EXPECT_FALSE(VerifySignature(noModulus, data_, sig));
    CoseKey hugeModulus = rsaKey(-257);
    hugeModulus.n.insert(hugeModulus.n.begin(), 16384 / 8 + 1 - hugeModulus.n.size(), 0xff);
    EXPECT_FALSE(VerifySignature(hugeModulus, data_, sig));
}

}  // namespace
}  // namespace vel
