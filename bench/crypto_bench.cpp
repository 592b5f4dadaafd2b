// VerifySignature against OpenSSL's EVP_DigestVerify with a key built once, on the same data:
// the difference is what VerifySignature adds (key import, signature re-encoding).
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>

#include <stdexcept>
#include <vector>

#include "core/crypto.h"
#include "core/openssl_ptr.h"

namespace {

using vel::Bytes;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

Bytes bignumParam(EVP_PKEY* key, const char* name, int padTo) {
    BIGNUM* raw = nullptr;
    check(EVP_PKEY_get_bn_param(key, name, &raw) == 1, "EVP_PKEY_get_bn_param");
    const vel::BignumPtr bn(raw);
    Bytes out(padTo > 0 ? padTo : BN_num_bytes(bn.get()));
    BN_bn2binpad(bn.get(), out.data(), static_cast<int>(out.size()));
    return out;
}

Bytes sign(EVP_PKEY* key, const Bytes& data) {
    const vel::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    check(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1, "sign init");
    std::size_t length = 0;
    check(EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) == 1, "size");
    Bytes sig(length);
    check(EVP_DigestSign(ctx.get(), sig.data(), &length, data.data(), data.size()) == 1, "sign");
    sig.resize(length);
    return sig;
}

// One key, its COSE form and a valid signature over a WebAuthn-sized message.
struct Fixture {
    vel::EvpPkeyPtr key;
    vel::CoseKey cose;
    Bytes data = Bytes(37 + 32, 0x5a);  // authenticator data || client data hash
    Bytes signature;
};

Fixture es256Key() {
    Fixture f;
    f.key.reset(EVP_EC_gen("P-256"));
    f.cose.alg = -7;
    f.cose.crv = 1;
    f.cose.x = bignumParam(f.key.get(), OSSL_PKEY_PARAM_EC_PUB_X, 32);
    f.cose.y = bignumParam(f.key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, 32);
    f.signature = sign(f.key.get(), f.data);
    return f;
}

Fixture rs256Key() {
    Fixture f;
    f.key.reset(EVP_RSA_gen(2048));
    f.cose.alg = -257;
    f.cose.n = bignumParam(f.key.get(), OSSL_PKEY_PARAM_RSA_N, 0);
    f.cose.e = bignumParam(f.key.get(), OSSL_PKEY_PARAM_RSA_E, 0);
    f.signature = sign(f.key.get(), f.data);
    return f;
}

using Fixtures = std::vector<Fixture>;

const Fixtures& es256() {
    static const Fixtures fixtures = [] {
        Fixtures f;
        f.push_back(es256Key());
        return f;
    }();
    return fixtures;
}

// More keys than VerifySignature keeps imported: every call pays for the import.
const Fixtures& es256Rotating() {
    static const Fixtures fixtures = [] {
        Fixtures f;
        for (int i = 0; i < 64; ++i) f.push_back(es256Key());
        return f;
    }();
    return fixtures;
}

const Fixtures& rs256() {
    static const Fixtures fixtures = [] {
        Fixtures f;
        f.push_back(rs256Key());
        return f;
    }();
    return fixtures;
}

void velmoraVerify(benchmark::State& state, const Fixtures& (*fixtures)()) {
    const Fixtures& all = fixtures();
    std::size_t next = 0;
    for (auto _ : state) {
        const Fixture& f = all[next++ % all.size()];
        const bool ok = vel::VerifySignature(f.cose, f.data, f.signature);
        if (!ok) state.SkipWithError("signature rejected");
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
}

void directVerify(benchmark::State& state, const Fixtures& (*fixtures)()) {
    const Fixtures& all = fixtures();
    std::size_t next = 0;
    for (auto _ : state) {
        const Fixture& f = all[next++ % all.size()];
        const vel::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
        const bool ok =
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, f.key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), f.signature.data(), f.signature.size(), f.data.data(),
                             f.data.size()) == 1;
        if (!ok) state.SkipWithError("signature rejected");
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(velmoraVerify, es256, es256)->Name("VerifySignature ES256 DER");
BENCHMARK_CAPTURE(directVerify, es256, es256)->Name("VerifySignature ES256 DER | EVP_DigestVerify");
BENCHMARK_CAPTURE(velmoraVerify, rs256, rs256)->Name("VerifySignature RS256");
BENCHMARK_CAPTURE(directVerify, rs256, rs256)->Name("VerifySignature RS256 | EVP_DigestVerify");
BENCHMARK_CAPTURE(velmoraVerify, es256Rotating, es256Rotating)
    ->Name("VerifySignature ES256 DER, 64 keys in turn");
BENCHMARK_CAPTURE(directVerify, es256Rotating, es256Rotating)
    ->Name("VerifySignature ES256 DER, 64 keys in turn | EVP_DigestVerify");
