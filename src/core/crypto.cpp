#include "core/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "core/error.h"
#include "core/openssl_ptr.h"

namespace vel {

namespace {

// Digests are fetched once: an implicit fetch on every call costs more than hashing a small input.
const EVP_MD* fetchedDigest(std::string_view name) {
    static const std::array<std::pair<std::string_view, EvpMdPtr>, 4> digests = [] {
        std::array<std::pair<std::string_view, EvpMdPtr>, 4> table;
        const std::array<std::string_view, 4> names = {"SHA1", "SHA256", "SHA384", "SHA512"};
        for (std::size_t i = 0; i < names.size(); ++i) {
            table[i] = {names[i], EvpMdPtr(EVP_MD_fetch(nullptr, names[i].data(), nullptr))};
        }
        return table;
    }();
    for (const auto& [digestName, md] : digests) {
        if (digestName != name) continue;
        if (!md) throw Error("EVP_MD_fetch failed");
        return md.get();
    }
    throw Error("unsupported hash algorithm \"" + std::string(name) + "\"");
}

Bytes hmac(const EVP_MD* md, const Bytes& key, const Bytes& data) {
    static const EvpMacPtr mac(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
    if (!mac) throw Error("EVP_MAC_fetch failed");
    EvpMacCtxPtr ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx) throw Error("EVP_MAC_CTX_new failed");
    const OSSL_PARAM params[] = {
        // The parameter is only read; OpenSSL's declaration is not const-correct.
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                         const_cast<char*>(EVP_MD_get0_name(md)), 0),
        OSSL_PARAM_construct_end()};
    // A null key means "keep the previous key" to EVP_MAC_init, so an empty key needs a pointer.
    static const unsigned char kNoKey = 0;
    if (EVP_MAC_init(ctx.get(), key.empty() ? &kNoKey : key.data(), key.size(), params) != 1) {
        throw Error("EVP_MAC_init failed");
    }
    if (EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1) {
        throw Error("EVP_MAC_update failed");
    }
    Bytes out(EVP_MAC_CTX_get_mac_size(ctx.get()));
    std::size_t length = 0;
    if (out.empty() || EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) != 1) {
        throw Error("EVP_MAC_final failed");
    }
    out.resize(length);
    return out;
}

struct Curve {
    std::int32_t crv;
    const char* group;
    const EVP_MD* (*digest)();
    std::size_t size;  // bytes per coordinate and per signature half
};

constexpr std::array<Curve, 3> kCurves = {{
    {1, "P-256", EVP_sha256, 32},
    {2, "P-384", EVP_sha384, 48},
    {3, "P-521", EVP_sha512, 66},
}};
constexpr std::size_t kMaxCoordinate = 66;

// Reads an ECDSA signature in ASN.1 DER form (SEQUENCE of two INTEGERs) into raw r || s of
// 2 * size bytes. Accepts the forms authenticators produce, including redundant leading zeros.
bool derToRaw(const Bytes& sig, std::size_t size, std::uint8_t* raw) {
    const std::size_t total = sig.size();
    if (total < 2 || sig[0] != 0x30) return false;
    std::size_t pos = 2;
    std::size_t length = sig[1];
    if (length == 0x81) {
        if (total < 3) return false;
        length = sig[2];
        pos = 3;
    } else if (length == 0x82) {
        if (total < 4) return false;
        length = (std::size_t{sig[2]} << 8) | sig[3];
        pos = 4;
    } else if (length >= 0x80) {
        return false;
    }
    if (pos + length != total) return false;

    std::fill(raw, raw + 2 * size, std::uint8_t{0});
    for (std::size_t half = 0; half < 2; ++half) {
        if (total - pos < 2 || sig[pos] != 0x02) return false;
        std::size_t n = sig[pos + 1];
        if (n == 0 || n >= 0x80) return false;
        pos += 2;
        if (n > total - pos) return false;
        const std::uint8_t* value = sig.data() + pos;
        pos += n;
        while (n > 1 && *value == 0) {
            ++value;
            --n;
        }
        if (n > size) return false;
        std::memcpy(raw + half * size + (size - n), value, n);
    }
    return pos == total;
}

// Writes one half of raw r || s as a DER INTEGER: minimal length, a zero byte in front when the
// top bit is set (otherwise the value would read as negative).
std::uint8_t* putInteger(std::uint8_t* out, const std::uint8_t* value, std::size_t size) {
    while (size > 1 && *value == 0) {
        ++value;
        --size;
    }
    const bool signByte = (*value & 0x80) != 0;
    *out++ = 0x02;
    *out++ = static_cast<std::uint8_t>(size + (signByte ? 1 : 0));
    if (signByte) *out++ = 0;
    std::memcpy(out, value, size);
    return out + size;
}

// SEQUENCE { INTEGER r, INTEGER s }; the content stays below 256 bytes even on P-521.
constexpr std::size_t kMaxDer = 3 + 2 * (3 + kMaxCoordinate);

// OpenSSL verifies ECDSA signatures only in DER form, so raw r || s is re-encoded canonically.
// Written by hand: ECDSA_SIG and its BIGNUMs cost several percent of a P-256 verification.
std::size_t rawToDer(const std::uint8_t* raw, std::size_t size, std::uint8_t* der) {
    std::array<std::uint8_t, 2 * (3 + kMaxCoordinate)> body;
    const std::uint8_t* end = putInteger(putInteger(body.data(), raw, size), raw + size, size);
    const auto length = static_cast<std::size_t>(end - body.data());
    std::size_t pos = 0;
    der[pos++] = 0x30;
    if (length >= 0x80) der[pos++] = 0x81;
    der[pos++] = static_cast<std::uint8_t>(length);
    std::memcpy(der + pos, body.data(), length);
    return pos + length;
}

// Importing a public key costs about a third of an ECDSA verification and more than half of an RSA
// one (a fresh RSA key also builds its Montgomery context on first use), and the gate checks the
// same few enrolled keys again and again. So recently imported keys are kept, keyed by their exact
// encoding. A built EVP_PKEY is not modified by verification and may be shared across threads.
class KeyCache {
  public:
    // OpenSSL registers its exit-time cleanup when first initialised; initialising it here, before
    // this object's destructor is registered, makes that destructor run first.
    KeyCache() { OPENSSL_init_crypto(0, nullptr); }

    // The key known by id, built with import() unless it is kept already.
    template <typename Import>
    EvpPkeyPtr get(const Bytes& id, Import import) {
        if (EvpPkeyPtr key = find(id)) return key;
        EvpPkeyPtr key = import();
        if (key) add(id, key.get());
        return key;
    }

  private:
    struct Entry {
        Bytes id;
        EvpPkeyPtr key;
    };

    static EvpPkeyPtr shared(EVP_PKEY* key) {
        EVP_PKEY_up_ref(key);
        return EvpPkeyPtr(key);
    }

    EvpPkeyPtr find(const Bytes& id) {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.key && entry.id == id) return shared(entry.key.get());
        }
        return nullptr;
    }

    void add(const Bytes& id, EVP_PKEY* key) {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.key && entry.id == id) return;  // another thread imported it meanwhile
        }
        entries_[next_] = {id, shared(key)};
        next_ = (next_ + 1) % entries_.size();
    }

    std::mutex mutex_;
    std::array<Entry, 32> entries_;  // guarded by mutex_
    std::size_t next_ = 0;           // guarded by mutex_; the oldest entry, replaced next
};

KeyCache& keyCache() {
    static KeyCache cache;
    return cache;
}

EvpPkeyPtr publicKeyFromData(const char* type, const OSSL_PARAM* params) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) !=
            1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

EvpPkeyPtr ecKey(const Curve& curve, const Bytes& x, const Bytes& y) {
    // Uncompressed point 04 || x || y, coordinates right-aligned in their fields. Its length
    // names the curve, so the point alone identifies the key.
    Bytes point(1 + 2 * curve.size, 0);
    point[0] = 0x04;
    std::copy(x.begin(), x.end(), point.begin() + 1 + curve.size - x.size());
    std::copy(y.begin(), y.end(), point.end() - y.size());
    return keyCache().get(point, [&] {
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                             const_cast<char*>(curve.group), 0),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
            OSSL_PARAM_construct_end()};
        return publicKeyFromData("EC", params);
    });
}

EvpPkeyPtr rsaKey(const Bytes& n, const Bytes& e) {
    // 'R' sets RSA identities apart from EC points, n's length sets n apart from e.
    Bytes id = {'R'};
    for (int shift = 24; shift >= 0; shift -= 8)
        id.push_back(static_cast<std::uint8_t>(n.size() >> shift));
    id.insert(id.end(), n.begin(), n.end());
    id.insert(id.end(), e.begin(), e.end());
    return keyCache().get(id, [&]() -> EvpPkeyPtr {
        BignumPtr modulus(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
        BignumPtr exponent(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
        OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
        if (!modulus || !exponent || !builder ||
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
            return nullptr;
        }
        const OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
        return params ? publicKeyFromData("RSA", params.get()) : nullptr;
    });
}

bool digestVerify(EVP_PKEY* key, const EVP_MD* digest, bool pss, const Bytes& data,
                  const std::uint8_t* sig, std::size_t sigLength) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkeyCtx = nullptr;  // owned by ctx
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pkeyCtx, digest, nullptr, key) != 1) {
        return false;
    }
    if (pss && (EVP_PKEY_CTX_set_rsa_padding(pkeyCtx, RSA_PKCS1_PSS_PADDING) != 1 ||
                EVP_PKEY_CTX_set_rsa_pss_saltlen(pkeyCtx, 32) != 1)) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), sig, sigLength, data.data(), data.size()) == 1;
}

bool verifyEc(const CoseKey& key, const Bytes& data, const Bytes& signature) {
    const auto curve = std::find_if(kCurves.begin(), kCurves.end(),
                                    [&](const Curve& c) { return c.crv == key.crv; });
    if (curve == kCurves.end()) return false;
    const std::size_t size = curve->size;
    if (key.x.size() > size || key.y.size() > size) return false;

    std::array<std::uint8_t, 2 * kMaxCoordinate> raw{};
    if (!derToRaw(signature, size, raw.data())) {
        if (signature.size() != 2 * size) return false;
        std::copy(signature.begin(), signature.end(), raw.begin());
    }
    std::array<std::uint8_t, kMaxDer> der;
    const std::size_t derLength = rawToDer(raw.data(), size, der.data());

    const EvpPkeyPtr pkey = ecKey(*curve, key.x, key.y);
    return pkey && digestVerify(pkey.get(), curve->digest(), false, data, der.data(), derLength);
}

bool verifyRsa(const CoseKey& key, const Bytes& data, const Bytes& signature) {
    // OpenSSL refuses to verify with larger moduli; turning them away here keeps them out of the
    // imported-key store.
    constexpr std::size_t kMaxBytes = OPENSSL_RSA_MAX_MODULUS_BITS / 8;
    if (key.n.empty() || key.n.size() > kMaxBytes || key.e.size() > kMaxBytes) return false;
    const EVP_MD* digest = nullptr;
    bool pss = false;
    switch (key.alg) {
        case -257:
            digest = EVP_sha256();
            break;
        case -258:
            digest = EVP_sha384();
            break;
        case -259:
            digest = EVP_sha512();
            break;
        case -37:
            digest = EVP_sha256();
            pss = true;
            break;
        default:
            return false;
    }
    const EvpPkeyPtr pkey = rsaKey(key.n, key.e);
    return pkey && digestVerify(pkey.get(), digest, pss, data, signature.data(), signature.size());
}

}  // namespace

Bytes HashBytes(std::string_view algorithm, const Bytes& data, const Bytes* key) {
    const EVP_MD* md = fetchedDigest(algorithm);
    if (key != nullptr) return hmac(md, *key, data);
    const int size = EVP_MD_get_size(md);
    if (size <= 0) throw Error("EVP_MD_get_size failed");
    Bytes out(static_cast<std::size_t>(size));
    if (EVP_Digest(data.data(), data.size(), out.data(), nullptr, md, nullptr) != 1) {
        throw Error("EVP_Digest failed");
    }
    return out;
}

Bytes Sha256(const Bytes& data) {
    return HashBytes("SHA256", data);
}

Bytes HmacSha256(const Bytes& key, const Bytes& data) {
    return HashBytes("SHA256", data, &key);
}

Bytes RandomBytes(std::size_t count) {
    Bytes out(count);
    for (std::size_t done = 0; done < count;) {
        const int chunk = static_cast<int>(std::min<std::size_t>(count - done, INT_MAX));
        if (RAND_bytes(out.data() + done, chunk) != 1) throw Error("RAND_bytes failed");
        done += static_cast<std::size_t>(chunk);
    }
    return out;
}

bool ConstantTimeEqual(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool IsValidP256Point(const Bytes& x, const Bytes& y) noexcept {
    if (x.size() != 32 || y.size() != 32) return false;
    const EvpPkeyPtr pkey = ecKey(kCurves[0], x, y);
    if (!pkey) return false;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    return ctx && EVP_PKEY_public_check(ctx.get()) == 1;
}

bool VerifySignature(const CoseKey& key, const Bytes& data, const Bytes& signature) noexcept {
    if (signature.empty() || key.alg == -8) return false;
    if (!key.x.empty()) return verifyEc(key, data, signature);
    return verifyRsa(key, data, signature);
}

}  // namespace vel
