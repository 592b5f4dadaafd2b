#pragma once

#include <string>

namespace vel::admin {

struct CertificateInfo {
    std::string thumbprint;   // SHA-1 of the DER, upper-case hex
    std::string fingerprint;  // SHA-256 of the DER, upper-case hex
    std::string text;         // subject and expiry, for the operator
};

// Reuses tls-cert.pem / tls-key.pem in directory when the certificate's subject names Velmora, it
// has not expired and the key belongs to it; otherwise creates a new RSA-2048 key and self-signed
// server certificate for computerName and writes both files (mode 0600).
[[nodiscard]] bool ensureCertificate(const std::string& directory, const std::string& computerName,
                                     CertificateInfo& info, std::string& error);

}  // namespace vel::admin
