#include "gate/tls_pair.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <strings.h>

#include <memory>

#include "os/files.h"
#include "os/paths.h"

namespace vel::gate {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

std::unique_ptr<BIO, BioFree> memoryBio(const std::string& text) {
    return std::unique_ptr<BIO, BioFree>(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::unique_ptr<X509, X509Free> parseCertificate(const std::string& pem) {
    auto bio = memoryBio(pem);
    std::unique_ptr<X509, X509Free> cert(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return cert;
}

std::unique_ptr<EVP_PKEY, PkeyFree> parsePrivateKey(const std::string& pem) {
    auto bio = memoryBio(pem);
    // An empty passphrase callback result makes an encrypted key fail instead of prompting.
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""))
            : nullptr);
    ERR_clear_error();
    return key;
}

std::string thumbprintOf(const X509* cert) {
    return CertificateDigestHex(cert, EVP_sha1());
}

}  // namespace

std::string CertificateDigestHex(const X509* certificate, const EVP_MD* digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, digest, bytes, &length) != 1) return {};
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

TlsPair::~TlsPair() {
    OPENSSL_cleanse(privateKeyPem.data(), privateKeyPem.size());
}

std::string CertificateThumbprint(const std::string& certificatePem) {
    auto cert = parseCertificate(certificatePem);
    return cert ? thumbprintOf(cert.get()) : std::string();
}

bool LoadTlsPair(const std::string& directory, const std::string& thumbprint, TlsPair& pair,
                 std::string& error) {
    const std::string certPath = JoinPath(directory, kTlsCertificateFile);
    const std::string keyPath = JoinPath(directory, kTlsKeyFile);
    TlsPair loaded;
    if (!ReadFileText(certPath, loaded.certificatePem)) {
        error = "cannot read " + certPath;
        return false;
    }
    auto cert = parseCertificate(loaded.certificatePem);
    if (!cert) {
        error = certPath + " holds no PEM certificate";
        return false;
    }
    const std::string actual = thumbprintOf(cert.get());
    if (actual.empty() || strcasecmp(actual.c_str(), thumbprint.c_str()) != 0) {
        error = "the certificate in " + certPath + " has thumbprint " + actual +
                ", not the configured " + thumbprint;
        return false;
    }
    if (!ReadFileText(keyPath, loaded.privateKeyPem)) {
        error = "cannot read " + keyPath;
        return false;
    }
    auto key = parsePrivateKey(loaded.privateKeyPem);
    if (!key) {
        error = keyPath + " holds no unencrypted PEM private key";
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        error = keyPath + " does not belong to the certificate in " + certPath;
        return false;
    }
    pair = std::move(loaded);
    return true;
}

}  // namespace vel::gate
