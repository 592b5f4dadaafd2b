#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <memory>

namespace vel {

// Owning pointers for OpenSSL objects, each released with its own free function.
template <auto Free>
struct OpenSslFree {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OpenSslFree<EVP_MD_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, OpenSslFree<EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OpenSslFree<EVP_MAC_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<EVP_CIPHER_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<BN_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OpenSslFree<ECDSA_SIG_free>>;
using OsslParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OpenSslFree<OSSL_PARAM_BLD_free>>;
using OsslParamPtr = std::unique_ptr<OSSL_PARAM, OpenSslFree<OSSL_PARAM_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;

}  // namespace vel
