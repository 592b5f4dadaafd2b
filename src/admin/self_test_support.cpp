#include "admin/self_test_support.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>

#include <filesystem>

#include "os/paths.h"

namespace vel::admin {

Bytes CborHead(std::uint8_t major, std::uint64_t value) {
    Bytes out;
    const std::uint8_t type = static_cast<std::uint8_t>(major << 5);
    if (value < 24) {
        out.push_back(static_cast<std::uint8_t>(type | value));
        return out;
    }
    int bytes = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
    out.push_back(static_cast<std::uint8_t>(type | (bytes == 1   ? 24
                                                    : bytes == 2 ? 25
                                                    : bytes == 4 ? 26
                                                                 : 27)));
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    return out;
}

Bytes CborInteger(std::int64_t value) {
    return value >= 0 ? CborHead(0, static_cast<std::uint64_t>(value))
                      : CborHead(1, static_cast<std::uint64_t>(-1 - value));
}

Bytes CborByteString(const Bytes& value) {
    Bytes out = CborHead(2, value.size());
    Append(out, value);
    return out;
}

Bytes CborTextString(std::string_view value) {
    Bytes out = CborHead(3, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes CborMapHead(std::size_t count) {
    return CborHead(5, count);
}

Bytes CborArrayHead(std::size_t count) {
    return CborHead(4, count);
}

void Append(Bytes& to, const Bytes& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

bool MakeP256TestKey(TestKeyPair& out) {
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) return false;
    Bytes point(65);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                        point.size(), &length) != 1 ||
        length != 65 || point[0] != 0x04) {
        return false;
    }
    out.x.assign(point.begin() + 1, point.begin() + 33);
    out.y.assign(point.begin() + 33, point.end());
    out.key = std::move(key);
    return true;
}

bool SignWithTestKey(const TestKeyPair& pair, const Bytes& data, Bytes& derSignature) {
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pair.key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        return false;
    }
    derSignature.resize(length);
    if (EVP_DigestSign(context.get(), derSignature.data(), &length, data.data(), data.size()) != 1)
        return false;
    derSignature.resize(length);
    return true;
}

Bytes RawSignatureOf(const Bytes& der) {
    const unsigned char* p = der.data();
    EcdsaSigPtr signature(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!signature) return {};
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(signature.get(), &r, &s);
    Bytes raw(64);
    if (BN_bn2binpad(r, raw.data(), 32) != 32 || BN_bn2binpad(s, raw.data() + 32, 32) != 32)
        return {};
    return raw;
}

CoseKey CoseKeyOf(const TestKeyPair& pair) {
    CoseKey key;
    key.alg = -7;
    key.crv = 1;
    key.x = pair.x;
    key.y = pair.y;
    return key;
}

Bytes CoseKeyBytes(const Bytes& x, const Bytes& y) {
    // {1: 2 (EC2), 3: -7 (ES256), -1: 1 (P-256), -2: x, -3: y}
    Bytes out = CborMapHead(5);
    Append(out, CborInteger(1));
    Append(out, CborInteger(2));
    Append(out, CborInteger(3));
    Append(out, CborInteger(-7));
    Append(out, CborInteger(-1));
    Append(out, CborInteger(1));
    Append(out, CborInteger(-2));
    Append(out, CborByteString(x));
    Append(out, CborInteger(-3));
    Append(out, CborByteString(y));
    return out;
}

ScratchFolder::ScratchFolder(std::string path) : path_(std::move(path)) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);  // left behind by a run that was killed
    static_cast<void>(EnsureDirectory(path_));
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::file(const std::string& name) const {
    return JoinPath(path_, name);
}

}  // namespace vel::admin
