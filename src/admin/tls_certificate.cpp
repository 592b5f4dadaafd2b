#include "admin/tls_certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "core/openssl_ptr.h"
#include "gate/relying_party.h"
#include "gate/tls_pair.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::admin {

using gate::CertificateThumbprint;
using gate::kRelyingPartyId;
using gate::kTlsCertificateFile;
using gate::kTlsKeyFile;
using gate::LoadTlsPair;
using gate::TlsPair;

namespace {

constexpr long kValiditySeconds = 3650L * 86400L;

using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION_free>>;

std::string opensslError(const char* step) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    return std::string(step) + " failed: " + text;
}

std::string subjectText(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0,
                       XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string notAfterText(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    ASN1_TIME_print(bio.get(), X509_get0_notAfter(cert));
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

// The existing pair, when it may be reused.
X509Ptr reusableCertificate(const std::string& directory) {
    std::string certPem;
    TlsPair pair;
    if (!ReadFileText(JoinPath(directory, kTlsCertificateFile), certPem)) return nullptr;
    BioPtr bio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!cert) return nullptr;
    if (subjectText(cert.get()).find("Velmora") == std::string::npos) return nullptr;
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) return nullptr;
    std::string ignored;
    if (!LoadTlsPair(directory, CertificateThumbprint(certPem), pair, ignored)) return nullptr;
    return cert;
}

bool addExtension(X509* cert, int nid, const std::string& value, std::string& error) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) {
        error = opensslError(nid == NID_subject_alt_name ? "encoding the subject alternative name"
                                                         : "encoding the extended key usage");
        return false;
    }
    return true;
}

std::string pemOf(int (*write)(BIO*, void*), void* object) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), object) != 1) return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

X509Ptr createCertificate(const std::string& directory, const std::string& computerName,
                          std::string& error) {
    EvpPkeyPtr key(EVP_RSA_gen(2048));
    if (!key) {
        error = opensslError("RSA key generation");
        return nullptr;
    }
    X509Ptr cert(X509_new());
    if (!cert) {
        error = opensslError("X509_new");
        return nullptr;
    }
    unsigned char serial[16];
    BignumPtr serialNumber(BN_new());
    if (RAND_bytes(serial, sizeof serial) != 1 || !serialNumber ||
        !BN_bin2bn(serial, sizeof serial, serialNumber.get()) ||
        !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert.get()))) {
        error = opensslError("creating the serial number");
        return nullptr;
    }
    X509_set_version(cert.get(), X509_VERSION_3);
    const std::string commonName = "Velmora - " + computerName;
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1) {
        error = opensslError("encoding the subject");
        return nullptr;
    }
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds);
    X509_set_pubkey(cert.get(), key.get());
    const std::string altNames =
        "DNS:" + computerName + ",DNS:" + std::string(kRelyingPartyId) + ",DNS:localhost";
    if (!addExtension(cert.get(), NID_subject_alt_name, altNames, error) ||
        !addExtension(cert.get(), NID_ext_key_usage, "serverAuth", error)) {
        return nullptr;
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        error = opensslError("signing the certificate");
        return nullptr;
    }
    std::string keyPem = pemOf(
        [](BIO* bio, void* k) {
            return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0,
                                            nullptr, nullptr);
        },
        key.get());
    const std::string certPem =
        pemOf([](BIO* bio, void* c) { return PEM_write_bio_X509(bio, static_cast<X509*>(c)); },
              cert.get());
    const std::string keyPath = JoinPath(directory, kTlsKeyFile);
    const std::string certPath = JoinPath(directory, kTlsCertificateFile);
    // The key first: a certificate on disk always has its key beside it.
    const bool written = !keyPem.empty() && !certPem.empty() && WriteFileAtomic(keyPath, keyPem) &&
                         WriteFileAtomic(certPath, certPem);
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    if (!written) {
        error = "cannot write " + certPath + " and " + keyPath;
        return nullptr;
    }
    return cert;
}

}  // namespace

bool ensureCertificate(const std::string& directory, const std::string& computerName,
                       CertificateInfo& info, std::string& error) {
    X509Ptr cert = reusableCertificate(directory);
    const bool reused = cert != nullptr;
    if (!reused) cert = createCertificate(directory, computerName, error);
    if (!cert) return false;
    info.thumbprint = gate::CertificateDigestHex(cert.get(), EVP_sha1());
    if (info.thumbprint.empty()) {
        error = opensslError("computing the thumbprint");
        return false;
    }
    info.fingerprint = gate::CertificateDigestHex(cert.get(), EVP_sha256());
    if (info.fingerprint.empty()) {
        error = opensslError("computing the fingerprint");
        return false;
    }
    info.text = subjectText(cert.get()) + ", valid until " + notAfterText(cert.get());
    Log(LogLevel::Info, "%s TLS certificate %s", reused ? "reusing" : "created", info.text.c_str());
    return true;
}

}  // namespace vel::admin
