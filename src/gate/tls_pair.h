#pragma once

#include <openssl/types.h>

#include <string>

namespace vel::gate {

// File names of the gate's certificate and private key in the data directory.
inline constexpr const char* kTlsCertificateFile = "tls-cert.pem";
inline constexpr const char* kTlsKeyFile = "tls-key.pem";

// A PEM certificate and its PEM private key, as the HTTPS listener takes them. The key text is
// wiped when the pair is destroyed.
struct TlsPair {
    std::string certificatePem;
    std::string privateKeyPem;

    TlsPair() = default;
    TlsPair(const TlsPair&) = default;
    TlsPair(TlsPair&&) = default;
    TlsPair& operator=(const TlsPair&) = default;
    TlsPair& operator=(TlsPair&&) = default;
    ~TlsPair();
};

// The digest of the certificate's DER encoding in upper-case hex; empty when it fails.
std::string CertificateDigestHex(const X509* certificate, const EVP_MD* digest);

// SHA-1 of the certificate's DER encoding in upper-case hex; empty when the text holds no PEM
// certificate.
std::string CertificateThumbprint(const std::string& certificatePem);

// Reads tls-cert.pem and tls-key.pem from directory. Succeeds only when the certificate's
// thumbprint equals thumbprint (letter case ignored) and the key belongs to the certificate.
[[nodiscard]] bool LoadTlsPair(const std::string& directory, const std::string& thumbprint,
                               TlsPair& pair, std::string& error);

}  // namespace vel::gate
